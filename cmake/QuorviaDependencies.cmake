# Third-party libraries, all from Debian packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(CURL REQUIRED)
find_package(pugixml REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

# Debian's cpp-httplib is a compiled library whose header changes its types
# with the features it was built with (TLS, compression), so every user takes
# its pkg-config flags through qv_httplib.
pkg_check_modules(QV_CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(qv_httplib INTERFACE)
target_link_libraries(qv_httplib INTERFACE PkgConfig::QV_CPP_HTTPLIB Threads::Threads)

if(QV_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # Property tests: random cases, shrunk to the smallest that still fails.
  find_package(rapidcheck REQUIRED)
endif()
if(QV_BENCH)
  find_package(benchmark REQUIRED)
endif()
