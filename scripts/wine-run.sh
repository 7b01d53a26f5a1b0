#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARG...]
# Runs a Windows program of the x86_64 build under Wine with its own Wine
# prefix PREFIX (kept inside the build folder, never the user's own), quiet,
# without the Mono and Gecko installers. Exits with the program's exit code.
set -euo pipefail
prefix=$1; shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
wine=${QV_WINE:-/usr/lib/wine/wine64}
exec "$wine" "$@"
