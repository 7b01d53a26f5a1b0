#!/usr/bin/env bash
# check_pe_exports.sh [--stdcall NM] OBJDUMP DLL LIST...
# Compares the export name table of the Windows DLL with the union of the
# export lists (one name per line, "#" starts a comment). Every export must be
# undecorated (no "_" prefix, no "@n" suffix of stdcall). Prints every
# difference and exits 1 when there is one. With --stdcall, every export must
# also be a stdcall function inside the DLL (symbol "_Name@bytes", found with
# NM), as a Visual Basic Declare calls it.
set -euo pipefail
nm=""
if [ "$1" = "--stdcall" ]; then nm=$2; shift 2; fi
objdump=$1; dll=$2; shift 2
expected=$(cat "$@" /dev/null | sed 's/#.*//; s/[[:space:]]//g' | awk 'NF' | sort -u)
table=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed 1d)
actual=$(echo "$table" | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort -u)
status=0
if [ -n "$nm" ]; then
  symbols=$("$nm" "$dll")
  for name in $expected; do
    if ! grep -Eq " _${name}@[0-9]+$" <<<"$symbols"; then echo "not stdcall: $name"; status=1; fi
  done
fi
leaked=$(comm -13 <(echo "$expected") <(echo "$actual") | awk 'NF')
missing=$(comm -23 <(echo "$expected") <(echo "$actual") | awk 'NF')
if [ -n "$leaked" ]; then echo "undocumented or decorated exports in $dll:"; echo "$leaked"; status=1; fi
if [ -n "$missing" ]; then echo "documented exports missing from $dll:"; echo "$missing"; status=1; fi
if [ $status -eq 0 ]; then
  echo "$dll exports exactly the $(echo "$expected" | awk 'NF' | wc -l) documented names, undecorated"
fi
exit $status
