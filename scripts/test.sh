#!/usr/bin/env bash
# Installs what is missing, builds with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (fuzz targets included) and runs the whole test
# suite: the tests, each fuzz target for QV_FUZZ_SECONDS (default 30) and each
# benchmark once, briefly. Any sanitizer report fails the run. Then the
# Windows build (scripts/test-windows.sh): both DLLs and the host, tested under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${QV_TEST_BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DQV_SANITIZE=ON -DQV_FUZZ=ON -DQV_BENCH=ON -DQV_FUZZ_SECONDS="${QV_FUZZ_SECONDS:-30}" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 900
cd - >/dev/null
# The Windows build of the DLLs and the host, its tests under Wine.
bash scripts/test-windows.sh
