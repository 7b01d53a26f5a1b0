#!/usr/bin/env bash
# check_exports.sh LIBRARY LIST...
# Compares the defined dynamic symbols of LIBRARY with the union of the export
# lists (one name per line, "#" starts a comment). Prints every difference and
# exits 1 when there is one. Symbols the sanitizers' instrumentation adds are
# not the library's own and are ignored.
set -euo pipefail
lib=$1; shift
expected=$(cat "$@" /dev/null | sed 's/#.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' \
  | grep -Ev '^(_init|_fini|_edata|_end|__bss_start|__odr_asan.*|__asan.*|__ubsan.*|__sancov.*)$' \
  | sed 's/@.*//' | sort -u)
leaked=$(comm -13 <(echo "$expected") <(echo "$actual") | grep -v '^$' || true)
missing=$(comm -23 <(echo "$expected") <(echo "$actual") | grep -v '^$' || true)
status=0
if [ -n "$leaked" ]; then echo "undocumented symbols exported by $lib:"; echo "$leaked"; status=1; fi
if [ -n "$missing" ]; then echo "documented exports missing from $lib:"; echo "$missing"; status=1; fi
[ $status -eq 0 ] && echo "$lib exports exactly the $(echo "$expected" | grep -c . || true) documented symbols"
exit $status
