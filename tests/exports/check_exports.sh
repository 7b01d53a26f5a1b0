#!/usr/bin/env bash
# check_exports.sh LIBRARY LIST...
# Compares the defined dynamic symbols of LIBRARY with the union of the export
# lists (one name per line, "#" starts a comment). Prints every difference and
# exits 1 when there is one. Symbols the sanitizers' instrumentation adds are
# not the library's own and are ignored.
set -euo pipefail
lib=$1; shift
expected=$(cat "$@" /dev/null | sed 's/#.*//; s/[[:space:]]//g' | awk 'NF' | sort -u)
symbols=$(nm -D --defined-only "$lib")
actual=$(echo "$symbols" | awk 'NF {print $NF}' | sed 's/@.*//' \
  | awk '!/^(_init|_fini|_edata|_end|__bss_start|__odr_asan.*|__asan.*|__ubsan.*|__sancov.*)$/' | sort -u)
leaked=$(comm -13 <(echo "$expected") <(echo "$actual") | awk 'NF')
missing=$(comm -23 <(echo "$expected") <(echo "$actual") | awk 'NF')
status=0
if [ -n "$leaked" ]; then echo "undocumented symbols exported by $lib:"; echo "$leaked"; status=1; fi
if [ -n "$missing" ]; then echo "documented exports missing from $lib:"; echo "$missing"; status=1; fi
if [ $status -eq 0 ]; then
  echo "$lib exports exactly the $(echo "$expected" | awk 'NF' | wc -l) documented symbols"
fi
exit $status
