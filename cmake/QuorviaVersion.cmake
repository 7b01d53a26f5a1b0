# The product's version has one source, the project's VERSION: the About
# window, the DLLs' version resources and the installer packages all take it
# from here.
#
#   qv_version          INTERFACE target: #include "qv_version.h"
#   qv_version_resource(TARGET DESCRIPTION)   a version resource in a DLL (Windows)

# The version as the About window shows it: major.minor, and the third part
# only when it is not 0 (1.24.0 reads "1.24", 1.24.3 reads "1.24.3").
set(QV_VERSION_SHOWN "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
if(PROJECT_VERSION_PATCH)
  string(APPEND QV_VERSION_SHOWN ".${PROJECT_VERSION_PATCH}")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/version/qv_version.h.in ${PROJECT_BINARY_DIR}/version/qv_version.h @ONLY)
add_library(qv_version INTERFACE)
target_include_directories(qv_version INTERFACE ${PROJECT_BINARY_DIR}/version)

function(qv_version_resource target description)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(QV_RESOURCE_DESCRIPTION "${description}")
  set(QV_RESOURCE_FILE "${name}.dll")
  set(QV_RESOURCE_NAME "${name}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
