#!/usr/bin/env bash
# The built-in demo, on a built tree: everything it touches lives in a
# temporary folder that is removed at the end.
set -euo pipefail
build=${1:-build}
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
export QUORVIA_HKCU=$demo/hkcu.db QUORVIA_HKLM=$demo/hklm.db

echo "== qvreg: the registry stand-in =="
"$build/tools/qvreg/qvreg" add 'HKLM\SOFTWARE\Quorvia\Quorvia' /v "Configuration Directory" /t REG_SZ /d "$demo/config"
"$build/tools/qvreg/qvreg" add 'HKCU\SOFTWARE\Quorvia\Outlook Sync' /v "Sync Contacts" /t REG_DWORD /d 1
"$build/tools/qvreg/qvreg" query 'HKLM\SOFTWARE\Quorvia\Quorvia'
"$build/tools/qvreg/qvreg" export 'HKCU\SOFTWARE\Quorvia' "$demo/export.reg" /utf8
cat "$demo/export.reg"
