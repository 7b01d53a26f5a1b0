# Third-party code of the Windows build. Nothing here comes from the network
# at build time: pugixml is built from Debian's source package, which
# scripts/test-windows.sh unpacks (QV_PUGIXML_SOURCE), and GoogleTest from the
# source tree Debian's googletest package installs (QV_GOOGLETEST_SOURCE).
find_package(Threads REQUIRED)

set(QV_PUGIXML_SOURCE "" CACHE PATH "pugixml source tree (Debian source package)")
if(NOT EXISTS "${QV_PUGIXML_SOURCE}/src/pugixml.cpp")
  message(FATAL_ERROR "QV_PUGIXML_SOURCE must name an unpacked pugixml source tree "
                      "(scripts/test-windows.sh unpacks Debian's)")
endif()
add_library(qv_pugixml STATIC ${QV_PUGIXML_SOURCE}/src/pugixml.cpp)
target_include_directories(qv_pugixml SYSTEM PUBLIC ${QV_PUGIXML_SOURCE}/src)
add_library(pugixml::pugixml ALIAS qv_pugixml)

if(QV_TESTS)
  set(QV_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${QV_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own build names its targets GTest::gtest and so on.
  foreach(target gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${target})
      add_library(GTest::${target} ALIAS ${target})
    endif()
  endforeach()
  include(GoogleTest)
endif()

# The POSIX calls the library's portable code makes (open, flock, dlopen,
# sockets...) come on Windows from the thin layer in platform/win32/posix,
# whose headers stand in for the POSIX ones and whose functions sit on Win32.

# SQLite, for the emulated Outlook's profiles of the Windows host: the
# amalgamation made from Debian's source package (scripts/test-windows.sh).
set(QV_SQLITE_SOURCE "" CACHE PATH "folder with sqlite3.c and sqlite3.h made from Debian's sqlite3 source")
if(EXISTS "${QV_SQLITE_SOURCE}/sqlite3.c")
  add_library(qv_sqlite STATIC ${QV_SQLITE_SOURCE}/sqlite3.c)
  target_include_directories(qv_sqlite SYSTEM PUBLIC ${QV_SQLITE_SOURCE})
  target_compile_definitions(qv_sqlite PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0)
  target_compile_options(qv_sqlite PRIVATE -w)
  add_library(SQLite::SQLite3 ALIAS qv_sqlite)
endif()
