# Third-party libraries, all from Debian packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(CURL REQUIRED)
find_package(pugixml REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

# cpp-httplib is header-only.
find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
add_library(qv_httplib INTERFACE)
target_include_directories(qv_httplib SYSTEM INTERFACE ${HTTPLIB_INCLUDE_DIR})
target_link_libraries(qv_httplib INTERFACE Threads::Threads)

if(QV_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(QV_BENCH)
  find_package(benchmark REQUIRED)
endif()
