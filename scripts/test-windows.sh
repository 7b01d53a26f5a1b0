#!/usr/bin/env bash
# Installs what is missing, cross-compiles QVAISO for Windows with MinGW-w64
# (x86_64 and i686), runs the x86_64 tests under Wine and checks the exports
# of both builds. Wine keeps its prefix inside the build folder.
#
#   bash scripts/test-windows.sh
#
# Build folders: $QV_WIN_BUILD_DIR (default build-windows)/{x86_64,i686,linux,src}.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${QV_WIN_BUILD_DIR:-build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${QV_WIN_JOBS:-$(nproc)}
start=$(date +%s)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# --- packages ---
bash scripts/install-deps.sh
packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 wine64 dpkg-dev python3 tcl xvfb)
# The installer packages: wixl and msibuild make them, msiinfo reads them back.
packages+=(msitools wixl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- third-party sources from Debian's source packages ---
src="$build/src"
mkdir -p "$src"
debian_source() {  # unpacks Debian's source package $1 into $src
  # Debian's source index for the release this machine runs.
  local list=/etc/apt/sources.list.d/quorvia-deb-src.sources
  if [ ! -f "$list" ]; then
    local suite
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$suite" | $SUDO tee "$list" >/dev/null
  fi
  if [ -z "${deb_src_updated:-}" ]; then
    $SUDO apt-get update -qq -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=- \
      -o APT::Get::List-Cleanup=0
    deb_src_updated=1
  fi
  (cd "$src" && apt-get source -qq "$1" >/dev/null 2>&1)
}
pugixml=$(ls -d "$src"/pugixml-*/ 2>/dev/null | head -1 || true)
if [ -z "$pugixml" ] || [ ! -f "$pugixml/src/pugixml.cpp" ]; then
  rm -rf "$src"/pugixml*
  debian_source pugixml
  pugixml=$(ls -d "$src"/pugixml-*/ | head -1)
fi
pugixml=${pugixml%/}
# SQLite (the Windows host's profiles): its amalgamation, made once from the
# source tree with the tree's own tools (tclsh).
sqlite="$src/sqlite-amalgamation"
if [ ! -f "$sqlite/sqlite3.c" ]; then
  rm -rf "$src"/sqlite3* "$src/sqlite-build"
  debian_source sqlite3
  mkdir -p "$src/sqlite-build" "$sqlite"
  (cd "$src/sqlite-build" && "$(ls -d "$src"/sqlite3-*/ | head -1)configure" >/dev/null && make sqlite3.c >/dev/null)
  cp "$src/sqlite-build/sqlite3.c" "$src/sqlite-build/sqlite3.h" "$sqlite/"
  rm -rf "$src/sqlite-build"
fi

# --- the Linux side the tests compare with: the library and its probe, and
# the host, add-in, servlet emulator and registry tool ---
cmake -S . -B "$build/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
nice cmake --build "$build/linux" -j "$jobs" --target qvaiso qvadmind qvsync qvsync_host qvservlet qvreg
nice c++ -std=c++20 -O1 -I. tests/windows/interop/qvaiso_probe.cpp -ldl -o "$build/linux/qvaiso_probe"

# --- the two Windows builds ---
for arch in x86_64 i686; do
  cmake -S . -B "$build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" \
    -DQV_PUGIXML_SOURCE="$pugixml" \
    $([ "$arch" = x86_64 ] && echo "-DQV_SQLITE_SOURCE=$sqlite") \
    -DQV_LINUX_PROBE="$build/linux/qvaiso_probe" -DQV_LINUX_QVAISO="$build/linux/library/libqvaiso.so" \
    -DQV_LINUX_QVADMIND="$build/linux/tools/qvadmind/qvadmind" -DQV_LINUX_BUILD="$build/linux" >/dev/null
  nice cmake --build "$build/$arch" -j "$jobs"
done

# --- a Wine prefix of our own, made once ---
prefix="$build/x86_64/wineprefix"
if [ ! -f "$prefix/system.reg" ]; then
  echo "Creating the Wine prefix in $prefix"
  bash scripts/wine-run.sh "$prefix" wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w || true
fi

# No window manager on the virtual display below: Wine draws the windows'
# frames itself and does not wait for one whenever a window is hidden.
bash scripts/wine-run.sh "$prefix" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true

# --- the tests ---
# The dialogs need a display: a virtual one, on a number the server picks.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null & echo $!; wait)
read -r xvfb <&3
read -r display <&3
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY=":$display"
status=0
(cd "$build/x86_64" && ctest --output-on-failure --timeout 600) || status=1
(cd "$build/i686" && ctest --output-on-failure --timeout 600) || status=1
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
# The installer packages, one per architecture (installer/).
ls -1 "$build"/x86_64/QuorviaSync-*-x64.msi "$build"/i686/QuorviaSync-*-x86.msi || status=1
echo "Windows build and tests: $(( $(date +%s) - start )) s"
exit $status
