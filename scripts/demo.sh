#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${QV_DEMO_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
exec bash scripts/run-demo.sh "$build"
