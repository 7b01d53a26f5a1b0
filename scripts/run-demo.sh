#!/usr/bin/env bash
# The demo on a built tree: the add-in keeps an Outlook profile and a Quorvia
# mailbox in agreement. A servlet emulator on loopback serves the mailbox, the
# qvsync host plays Outlook. Everything lives in a temporary folder that is
# removed at the end, and nothing is left running. No network is used.
#
#   bash scripts/run-demo.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
demo=$(mktemp -d)
servlet_pid=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$servlet_pid" ]; then
    kill "$servlet_pid" 2>/dev/null || true
    wait "$servlet_pid" 2>/dev/null || true
  fi
  rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export QUORVIA_HKCU=$demo/hkcu.db QUORVIA_HKLM=$demo/hklm.db QUORVIA_MACHINE_KEYS=$demo/machine-keys
export XDG_DATA_HOME=$demo/data XDG_CONFIG_HOME=$demo/config
qvreg=$build/tools/qvreg/qvreg
qvservlet=$build/tools/qvservlet/qvservlet
outlook() { "$build/tools/qvsync/qvsync" --profile "$demo/outlook.profile" --yes "$@"; }
if [ -t 1 ]; then
  step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  step() { printf '\n== %s\n' "$*"; }
fi
key='HKCU\SOFTWARE\Quorvia\Outlook Sync\Default'

# ---- The mailbox server ----
# The emulator reads the other party's changes on its standard input; each
# answer ends with the mark the script asks it to echo.
mkfifo "$demo/servlet.in"
"$qvservlet" --bind 127.0.0.1 --port 0 --db "$demo/mailbox.db" --user ann:secret \
  <"$demo/servlet.in" >"$demo/servlet.out" 2>&1 &
servlet_pid=$!
exec 3>"$demo/servlet.in"
# Runs one emulator command and prints its answer. (Called in subshells too,
# so each answer's mark is made unique by the clock, not by a counter.)
server() {
  local mark before tries=0
  mark="--end $(date +%s%N)-$RANDOM--"
  before=$(wc -l <"$demo/servlet.out")
  printf '%s\necho %s\n' "$*" "$mark" >&3
  until grep -q -x -- "$mark" "$demo/servlet.out"; do
    tries=$((tries + 1))
    if [ $tries -gt 400 ] || ! kill -0 "$servlet_pid" 2>/dev/null; then
      echo "demo: the servlet emulator does not answer" >&2
      cat "$demo/servlet.out" >&2
      exit 1
    fi
    sleep 0.05
  done
  tail -n +"$((before + 1))" "$demo/servlet.out" | sed -n -e "/^$mark\$/q" -e '/^qvservlet listening on/d' -e p
}
# The UID of the item an "add" made.
added() { server "$@" | sed -n 's/^added //p'; }

step "Start the servlet emulator on loopback with Ann's mailbox (qvservlet)"
server "echo ready" >/dev/null
port=$(sed -n 's/^qvservlet listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$demo/servlet.out")
[ -n "$port" ] || { echo "demo: the servlet emulator did not start" >&2; cat "$demo/servlet.out" >&2; exit 1; }
echo "qvservlet listening on 127.0.0.1:$port"

day() { date -u -d "$1" +%Y-%m-%d; }
tomorrow=$(day '+1 day') nextweek=$(day '+7 days') monday=$(date -u -d 'next monday' +%Y-%m-%d)
bob=$(added "add ann CONTACT FirstName=Bob&LastName=Jones&FullName=Bob+Jones&EMail=bob.jones@example.com&Business=Northwind&PhoneW=%2B1+555+0101")
carol=$(added "add ann CONTACT FirstName=Carol&LastName=White&FullName=Carol+White&EMail=carol.white@example.com&Business=Contoso")
added "add ann CONTACTGROUP ObjectType=Group&GroupName=Project+team&Members=$bob;$carol" >/dev/null
added "add ann APPOINTMENT Description=Weekly+team+meeting&Location=Room+4&StartTime=${monday}-09-00&FinishTime=${monday}-09-30&offset=0&IsRecurring=True&RecurrenceType=1&RecurrenceInterval=1&DayOfWeekMask=2&PatternStartDate=${monday}-09-00&NoEndDate=True&Occurrences=0" >/dev/null
added "add ann APPOINTMENT Description=Design+review&Location=Lab&StartTime=${tomorrow}-14-00&FinishTime=${tomorrow}-15-00&offset=0&Attendees=bob.jones@example.com;carol.white@example.com" >/dev/null
added "add ann TASK Subject=Prepare+the+quarterly+report&DueDate=${nextweek}-00-00&Status=1&PercentComplete=25&Importance=2" >/dev/null
venue=$(added "add ann TASK Subject=Book+the+venue&DueDate=${tomorrow}-00-00&Status=0&Importance=1")
for class in CONTACT APPOINTMENT TASK; do server "list ann $class" | cut -f1,3- | sed "s/^/  $class  /"; done

step "Install the add-in: copy it to its folder and register it (qvsync register)"
mkdir -p "$demo/QVSync"
cp "$build/addin/libqvsync.so" "$build/library/libqvaiso.so" "$demo/QVSync/"
outlook register "$demo/QVSync/libqvsync.so"
outlook addins

step "A fresh Outlook profile with items of its own"
dave=$(outlook add Contacts "FullName=Dave Miller" Email1Address=dave.miller@example.com CompanyName=Fabrikam)
dentist=$(outlook add Calendar Subject=Dentist Location=Downtown "Start=$tomorrow 08:00" "End=$tomorrow 08:45")
certificate=$(outlook add Tasks "Subject=Renew the certificate" "Body=Before Friday" "DueDate=$nextweek")
outlook items Contacts
outlook items Calendar
outlook items Tasks

step "Configure the add-in for Ann's account in its configuration window, filled from a file (qvsync --fill)"
# The same window a person fills at the terminal; the fill file holds the
# password, so only its owner may read it.
(umask 077 && cat >"$demo/setup.txt" <<EOF
[frmConfig]
set txtHostName 127.0.0.1:$port
set txtUsername ann
set txtPassword secret
set chkTroubleshoot on
click OK
EOF
)
sed 's/^\(set txtPassword \).*/\1******/' "$demo/setup.txt"
# --no declines the window's offer to synchronise at once: the demo shows
# both sides first.
"$build/tools/qvsync/qvsync" --profile "$demo/outlook.profile" --no --fill "$demo/setup.txt" click "Configure..."
"$qvreg" query "$key"

# Both sides next to each other: the Outlook folders on the left, the
# mailbox's classes on the right.
side_by_side() {
  local left=$demo/left.txt right=$demo/right.txt folder class
  : >"$left"
  for folder in Contacts Calendar Tasks; do
    echo "Outlook $folder:" >>"$left"
    outlook items "$folder" | tail -n +2 | cut -f4 | sort | sed 's/^/  /' >>"$left"
  done
  : >"$right"
  for class in CONTACT APPOINTMENT TASK; do
    echo "Server $class:" >>"$right"
    { server "list ann $class"; [ $class != CONTACT ] || server "list ann CONTACTGROUP"; } | awk -F'\t' '{
        name = "";
        for (i = 3; i <= NF; i++) {
          split($i, kv, "=");
          if (kv[1] == "Description" || kv[1] == "Subject" || kv[1] == "FullName" || kv[1] == "GroupName") {
            name = substr($i, length(kv[1]) + 2);
            if (kv[1] == "GroupName") name = name " (list)";
            break;
          }
        }
        print "  " name
      }' | sort >>"$right"
  done
  pr -m -t -w 84 "$left" "$right"
}

step "Both sides before the first synchronisation"
side_by_side

step "Start Outlook with the add-in: the Quorvia menu"
outlook menu

step "Click &Synchronize: everything goes both ways"
outlook click "&Synchronize"

step "Both sides after the first synchronisation"
side_by_side
calendar=$(outlook items Calendar)
echo "In Outlook now:"
outlook show "$(grep 'Weekly team meeting' <<<"$calendar" | cut -f1)" |
  grep -E '^(Subject|Start|End|Location|IsRecurring|RecurrenceState)\b' | sed 's/^/  /'
outlook show "$(grep 'Design review' <<<"$calendar" | cut -f1)" |
  grep -E '^(Subject|Start|RequiredAttendees|Recipients)\b' | sed 's/^/  /'

step "Changes on the server: Bob's phone changes, a task is added, one is deleted"
server "change ann $bob PhoneW=%2B1+555+0199&Business=Northwind+Traders"
added "add ann TASK Subject=Call+the+caterer&DueDate=${tomorrow}-00-00&Status=0&Importance=1" | sed 's/^/added /'
server "delete ann $venue"

step "Changes in Outlook: a task is edited, a contact is added, an appointment is deleted"
sleep 3  # edits must be newer than the last synchronisation by more than its two-second margin
outlook edit "$certificate" "Subject=Renew the TLS certificate" "Body=Before Friday, for all three hosts"
outlook add Contacts "FullName=Erin Clark" Email1Address=erin.clark@example.com CompanyName=Quorvia >/dev/null
outlook delete "$dentist"
echo "edited \"Renew the certificate\", added \"Erin Clark\", deleted \"Dentist\""

step "Click &Synchronize again: each change reaches the other side"
outlook click "&Synchronize"

step "Both sides at the end"
side_by_side
outlook show "$(outlook items Contacts | grep 'Bob Jones' | cut -f1)" | grep -E '^(FullName|BusinessTelephoneNumber|CompanyName)\b' || true

step "The activity log (troubleshooting mode) is $demo/QVSync/QVSync.Log"
grep -E 'Synchroniz|Complete|Batch|batch|Created|Deleted|deleted|Updating|added to the server' \
  "$demo/QVSync/QVSync.Log" | tail -n 25 | tr -d '\r' || true
echo "(the demo folder $demo is removed when the demo ends; copy the log out first to keep it)"
