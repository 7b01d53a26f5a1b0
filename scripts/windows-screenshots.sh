#!/usr/bin/env bash
# Takes a picture of each of the add-in's windows as Windows draws it: the
# dialogs test of the x86_64 build (made by scripts/test-windows.sh) runs
# under Wine on a virtual display (Xvfb) and saves each window on its way; the
# pictures become PNG files in docs/windows/.
#
#   bash scripts/windows-screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QV_WIN_BUILD_DIR:-build-windows}/x86_64
test_exe="$build/tests/windows/win_dialogs_test.exe"
[ -f "$test_exe" ] || { echo "Build the Windows tests first: bash scripts/test-windows.sh" >&2; exit 1; }
for tool in Xvfb convert; do
  command -v "$tool" >/dev/null || { echo "Missing $tool (packages xvfb and imagemagick)" >&2; exit 1; }
done
out=docs/windows
shots=$(mktemp -d)
mkdir -p "$out"

# A display of its own, on a number the server picks.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null & echo $!; wait)
read -r xvfb <&3
read -r display <&3
trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$shots"' EXIT
prefix="$(cd "$build" && pwd)/wineprefix"
# Frames drawn by Wine: there is no window manager to draw them.
bash scripts/wine-run.sh "$prefix" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
DISPLAY=":$display" QV_SCREENSHOTS="Z:$shots" \
  bash scripts/wine-run.sh "$prefix" "$test_exe" >/dev/null
for bmp in "$shots"/*.bmp; do
  convert "$bmp" -alpha off "$out/$(basename "${bmp%.bmp}").png"
  echo "$out/$(basename "${bmp%.bmp}").png"
done
