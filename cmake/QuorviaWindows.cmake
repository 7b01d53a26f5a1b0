# The Windows build: qvaiso.dll and the registry configuration provider on the
# Win32 platform layer (platform/win32), cross-compiled with MinGW-w64
# (cmake/toolchains/mingw-*.cmake). scripts/test-windows.sh runs it.
#
# The components are the same folders as on Linux; only platform/ differs:
# platform/win32 defines the platform targets (qv_registry, qv_keystore, ...)
# on the Windows facilities, and the POSIX calls of the portable code go
# through the thin layer in platform/win32/posix.
# The x86_64 programs run here under Wine, each test with the Wine prefix kept
# in the build folder; 32-bit programs cannot run on this machine's kernel.
set(QV_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND EXISTS ${QV_WINE})
  set(QV_RUN_TESTS ON)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${PROJECT_BINARY_DIR}/wineprefix)
else()
  set(QV_RUN_TESTS OFF)
endif()

# Version resources of the DLLs (cmake/QuorviaVersion.cmake), with windres.
enable_language(RC)

include(cmake/QuorviaWindowsDependencies.cmake)
include(cmake/QuorviaComponents.cmake)

add_compile_options(-Wall -Wextra)
# Windows headers: no min/max macros, the lean set, Windows 7 and later.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

add_subdirectory(platform/win32)
# Every component of the library and its tests sees the POSIX layer first.
set(QV_POSIX_LAYER_FLAGS -include ${PROJECT_SOURCE_DIR}/platform/win32/posix/qv_posix.h)
include_directories(BEFORE SYSTEM ${PROJECT_SOURCE_DIR}/platform/win32/posix/include)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${QV_POSIX_LAYER_FLAGS}>")
link_libraries(qv_posix)

add_subdirectory(library)
add_subdirectory(providers/registry)
if(TARGET SQLite::SQLite3)
  add_subdirectory(platform/outlook)
endif()
# The add-in, qvsync.dll, as a COM server, and the windows' model.
add_subdirectory(platform/ui)
add_subdirectory(addin)
# The installer package of both DLLs.
add_subdirectory(installer)
# The host that plays Outlook through COM, over the emulated Outlook.
if(TARGET qv_outlook_emulation)
  add_subdirectory(tools/qvsync)
endif()
if(QV_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
  add_subdirectory(tests/installer)
endif()
