#!/usr/bin/env bash
# check_pe_imports.sh OBJDUMP DLL ALLOWED...
# Every DLL that the Windows DLL imports from must be one of ALLOWED (names
# compared without regard to case): a module linked statically or loaded by
# name at run time must not appear. Prints what else it imports and exits 1.
set -euo pipefail
objdump=$1; dll=$2; shift 2
allowed=$(printf '%s\n' "$@" | tr 'A-Z' 'a-z' | sort -u)
imported=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr -d '\r' | tr 'A-Z' 'a-z' | sort -u)
unexpected=$(comm -13 <(echo "$allowed") <(echo "$imported") | awk 'NF')
if [ -z "$imported" ]; then echo "no import table read from $dll"; exit 1; fi
if [ -n "$unexpected" ]; then echo "$dll imports from modules that are not the system's:"; echo "$unexpected"; exit 1; fi
echo "$dll imports only from: $(echo $imported)"
