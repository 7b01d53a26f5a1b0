# Helpers that keep every component folder's CMakeLists.txt a few lines long.
#
#   qv_component(NAME SOURCES ... [DEPS ...])         static library of one folder
#   qvaiso_component(NAME SOURCES ... [DEPS ...])     the same, every object built into libqvaiso.so
#   qv_test(NAME SOURCES ... [DEPS ...])              GoogleTest executable registered with CTest
#   qv_bench(NAME SOURCES ... [DEPS ...])             Google Benchmark executable
#   qv_fuzz(NAME SOURCES ... [DEPS ...])              libFuzzer target, also run briefly by CTest
#   qv_tool(NAME SOURCES ... [DEPS ...])              command-line program

# Adds every direct subfolder of DIR that has a CMakeLists.txt, in name order.
function(qv_add_component_dirs dir)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir}
       ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

function(qv_component name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

function(qvaiso_component name)
  qv_component(${name} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY QVAISO_COMPONENTS ${name})
  # The exports this component documents, checked against libqvaiso.so.
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/exports.list)
    set_property(GLOBAL APPEND PROPERTY QVAISO_EXPORT_LISTS ${CMAKE_CURRENT_SOURCE_DIR}/exports.list)
  endif()
endfunction()

function(qv_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} qv_testsupport GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "QV_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()

# A benchmark also runs once, briefly, under CTest: not to time anything, but
# so that it keeps working (and runs clean under the sanitizers).
function(qv_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark benchmark::benchmark_main)
  if(QV_TESTS)
    add_test(NAME bench.${name} COMMAND ${name} --benchmark_min_time=0.01)
    set_tests_properties(bench.${name} PROPERTIES LABELS bench TIMEOUT 600)
  endif()
endfunction()

function(qv_tool name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# A fuzz target runs for QV_FUZZ_SECONDS under CTest, starting from the seeds in
# fuzz/corpus/<name> when that folder exists.
function(qv_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${PROJECT_BINARY_DIR}/fuzz-corpus/${name})
  file(MAKE_DIRECTORY ${corpus})
  set(seeds ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  if(NOT EXISTS ${seeds})
    set(seeds "")
  endif()
  add_test(NAME fuzz.${name}
           COMMAND ${name} -max_total_time=${QV_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
                   -print_final_stats=1 ${corpus} ${seeds})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

# A component of the add-in, linked whole into libqvsync.so.
function(qvsync_component name)
  qv_component(${name} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY QVSYNC_COMPONENTS ${name})
endfunction()

# The names of the given export-list files (one name a line, "#" comments),
# into variable OUT; the files become configure dependencies.
function(qv_read_export_lists out)
  set(names "")
  foreach(list_file IN LISTS ARGN)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
    file(STRINGS ${list_file} lines)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "#.*" "" line "${line}")
      string(STRIP "${line}" line)
      if(line)
        list(APPEND names ${line})
      endif()
    endforeach()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Links shared library TARGET with a version script that keeps exactly the names
# of the given export lists global. Hidden visibility alone leaves the standard
# library's template instantiations visible; the script makes them local too.
function(qv_export_only target)
  qv_read_export_lists(exported ${ARGN})
  set(names "")
  foreach(name IN LISTS exported)
    string(APPEND names "    ${name};\n")
  endforeach()
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  if(names)
    file(WRITE ${map} "{\n  global:\n${names}  local:\n    *;\n};\n")
  else()
    file(WRITE ${map} "{\n  local:\n    *;\n};\n")
  endif()
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

# Builds every object of the given components into shared library TARGET (so
# each export is there whether or not anything inside uses it) and links what
# the components themselves link. Components may depend on one another.
function(qv_link_components target)
  foreach(component IN LISTS ARGN)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${component}>)
  endforeach()
  target_link_libraries(${target} PRIVATE ${ARGN})
endfunction()

# Links DLL TARGET with a module-definition file that exports exactly the names
# of the given export lists, undecorated. The 32-bit build's stdcall functions
# carry "@n" suffixes inside; the linker matches the plain names to them.
function(qv_export_def target)
  qv_read_export_lists(exported ${ARGN})
  set(names "")
  foreach(name IN LISTS exported)
    string(APPEND names "    ${name}\n")
  endforeach()
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  file(WRITE ${def} "EXPORTS\n${names}")
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup -Wl,--no-undefined)
endfunction()
