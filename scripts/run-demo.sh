#!/usr/bin/env bash
# The built-in demo, on a built tree: everything it touches lives in a
# temporary folder that is removed at the end.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
export QUORVIA_HKCU=$demo/hkcu.db QUORVIA_HKLM=$demo/hklm.db XDG_DATA_HOME=$demo/data
qvreg=$build/tools/qvreg/qvreg
qvsync="$build/tools/qvsync/qvsync --profile $demo/outlook.profile --yes"
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Install the add-in: copy it to its folder and register it (qvsync register)"
mkdir -p "$demo/QVSync"
cp "$build/addin/libqvsync.so" "$build/library/libqvaiso.so" "$demo/QVSync/"
$qvsync register "$demo/QVSync/libqvsync.so"
$qvsync addins

step "Configure the account in the registry (qvreg)"
"$qvreg" add 'HKCU\SOFTWARE\Quorvia\Outlook Sync\Default' /v Host /t REG_SZ /d mail.example.com /f
"$qvreg" add 'HKCU\SOFTWARE\Quorvia\Outlook Sync\Default' /v Username /t REG_SZ /d ann /f
"$qvreg" query 'HKCU\SOFTWARE\Quorvia\Outlook Sync\Default'

step "Start Outlook with the add-in: the Quorvia menu"
$qvsync menu

step "Click About..."
$qvsync click "About..."

step "Add a contact and a task in Outlook, and look at them"
$qvsync add Contacts "FullName=Ann B Smith" Email1Address=ann@example.com CompanyName=Quorvia
$qvsync add Tasks "Subject=Renew the certificate" "Body=Before Friday"
$qvsync items Contacts
$qvsync items Tasks

step "Export the add-in's settings as a .reg file"
"$qvreg" export 'HKCU\SOFTWARE\Quorvia' "$demo/export.reg" /utf8
cat "$demo/export.reg"
