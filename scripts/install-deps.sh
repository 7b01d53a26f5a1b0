#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent, and quiet when everything is already there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev lld
  libpugixml-dev libcurl4-openssl-dev libsqlite3-dev libssl-dev libsystemd-dev
  libgtest-dev libgmock-dev googletest librapidcheck-dev libbenchmark-dev libcpp-httplib-dev
  binutils procps
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
