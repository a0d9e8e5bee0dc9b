#!/usr/bin/env bash
# The desktop program under Wine on the prefix's virtual display, driven from outside as a user
# would drive it: its states, its questions and answers, a whole scan, its shape, and
# screenshots of each state in SHOTS (look at them).
#   ui-test.sh PREFIX WIN64_BUILD HOST_BUILD SHOTS
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1" || exit 1
build=$2
host=$3
shots=$4
mkdir -p "$shots"
rm -f "$shots"/*.png

. "$here/ui-common.sh"
work="$WINEPREFIX/drive_c/vxui"
product='HKLM\Software\Velmora'
session='HKLM\System\CurrentControlSet\Control\Session Manager'
restart_question='The system has to be restarted to remove the virus completely from your system. \n\n Restart now?'
wine_copy "$build/ui/vexpurge.exe" "$build/tests/ui-driver.exe" "$build/tests/message-probe.exe" \
          "$build/tools/specimen/runnable-specimen.exe"

reg() { "$WINE" 'C:\windows\system32\reg.exe' "$@" >/dev/null 2>&1; }
key() { driver key "$@" >/dev/null; }

start_program() {
  (cd "$bin" && exec "$WINE" 'C:\vxbin\vexpurge.exe' >/dev/null 2>&1) &
  driver wait "$title" 30 || { fail "the program did not start"; return 1; }
  sleep 1
}

# Checks that the control's line in a dump holds every given word, e.g. visible=1 enabled=0.
expect_control() {
  local dump=$1 id=$2 line
  shift 2
  line=$(grep "^$id " <<<"$dump")
  for word in "$@"; do
    [[ " $line " == *" $word"* ]] || fail "control $id: wanted $word, have: $line"
  done
}

expect_gone() { driver gone "$title" "${1:-10}" >/dev/null || fail "the window did not close"; }

# Answers the message dialog with this caption, checking its text and buttons first.
answer() {
  local caption=$1 button=$2 text=$3 buttons=$4 out
  out=$(driver answer "$caption" "$button" 30) || { fail "no question under \"$caption\""; return; }
  local shown
  shown=$(sed -n 's/^text=//p' <<<"$out")
  [ "$shown" = "$text" ] || fail "question under \"$caption\" said \"$shown\", not \"$text\""
  local seen
  seen=$(sed -n 's/^button=\([0-9]*\) .*/\1/p' <<<"$out" | tr '\n' ' ')
  [ "$seen" = "$buttons" ] || fail "question under \"$caption\" had buttons \"$seen\", not \"$buttons\""
}

reg delete "$product" /f
rm -rf "$work"
mkdir -p "$work"

# --- Ready, without the maker's product --------------------------------------------------------
start_program
shot ready
dump=$(driver dump "$title")
for id in 1052 1053; do expect_control "$dump" $id visible=1 enabled=1; done
for id in 1054 1077 1080 1085 1072; do expect_control "$dump" $id visible=1; done
expect_control "$dump" 1074 visible=1 "text=Vexpurge Ver 1.0 - Tool to detect and remove all the variants of W32/Tarvix Backdoor"
expect_control "$dump" 1068 visible=1 "text=for W32/Tarvix Backdoor"
for id in 1075 1065 1064 1076 1055 1034 2; do expect_control "$dump" $id visible=0; done
expect_control "$dump" 1070 visible=0 enabled=0
# Skinned buttons measure their bitmaps.
expect_control "$dump" 1052 rect=18,64,198,97
expect_control "$dump" 1054 rect=498,4,519,25
# The shape: a rounded corner is cut out of the window; the title area shows the skin's blue.
[ "$(pixel ready 2 2)" != "srgb(2,77,246)" ] || fail "the top-left corner is not cut out"
corner=$(pixel ready 2 2)
[ "$corner" = "$(pixel ready 700 700)" ] || fail "the cut-out corner ($corner) does not show what lies behind the window"
[ "$(pixel ready 61 40)" = "srgb(2,77,246)" ] || fail "the title area is $(pixel ready 61 40), not the skin's blue"

# A second start ends without a window of its own.
if ! (cd "$bin" && timeout 20 "$WINE" 'C:\vxbin\vexpurge.exe' >/dev/null 2>&1); then
  fail "the second start did not end by itself"
fi
driver exists "$title" || fail "the first window went away"

# Enter does nothing; Escape before a scan closes the program.
key "$title" return
sleep 0.5
driver exists "$title" || fail "Enter closed the program"
key "$title" escape
expect_gone

# --- Ready, with the maker's product installed ------------------------------------------------
reg add 'HKLM\Software\Velmora\Bastion Keeper 2000' /v "Installed Folder" /d 'C:\Program Files\Bastion Keeper' /f
start_program
shot ready-installed
dump=$(driver dump "$title")
expect_control "$dump" 1077 visible=0
expect_control "$dump" 1053 visible=1 enabled=0
expect_control "$dump" 1075 visible=1 "text=This program is a part of Bastion Keeper antivirus software."
driver click "$title" 1054  # X while idle closes at once
expect_gone
reg delete "$product" /f

# --- A whole scan: specimens removed, one held file scheduled, the restart question ----------
specimen="$host/tools/specimen/vexpurge-specimen"
"$specimen" match 40 "$work/one.exe" >/dev/null
"$specimen" match 122 "$work/two.dll" >/dev/null
"$specimen" match 1 "$work/held.exe" >/dev/null
"$specimen" near-miss 45 second-byte "$work/near.exe" >/dev/null
printf 'keep me\r\n' >"$work/notes.txt"
cp "$work/near.exe" "$work/near.expected"
(cd "$bin" && exec "$WINE" 'C:\vxbin\runnable-specimen.exe' --hold-file 'C:\vxui\held.exe' --seconds 300 \
  >/dev/null 2>&1) &
holder=$!
sleep 1

start_program
# Every file on C: is scanned once (the walk passes through "Program Files" itself).
files_on_c=$(find -L "$WINEPREFIX/drive_c" -type f | wc -l)
driver click "$title" 1052
shot scanning
dump=$(driver dump "$title")
expect_control "$dump" 1052 enabled=0
expect_control "$dump" 2 visible=1
for id in 1074 1072 1077 1080; do expect_control "$dump" $id visible=0; done
for id in 1055 1065 1076 1064 1034; do expect_control "$dump" $id visible=1; done
# The file held by another program cannot be freed (Wine's performance data lists no
# processes): the system's box says so, then the removal waits for the restart.
answer 'C:\vxui\held.exe' 1 "Could not kill process" "1 "
answer "$title" 7 "$restart_question" "6 7 "
driver wait-status "$title" "Scanning completed" 120 || fail "the scan did not complete"
shot finished
list=$(driver list "$title")
grep -qxF 'C:\vxui\one.exe     W32/Tarvix.12.Backdoor removed' <<<"$list" || fail "one.exe not reported removed"
grep -qxF 'C:\vxui\two.dll     W32/Tarvix.Eo.Backdoor removed' <<<"$list" || fail "two.dll not reported removed"
grep -qxF 'C:\vxui\held.exe     W32/Tarvix.19.Backdoor Unable to remove' <<<"$list" || fail "held.exe not reported"
tail -n 6 <<<"$list" >"$shots/statistics.txt"
expected_tail=$(printf ' \nScanning statistics\n------------------------------\n')
[ "$(head -n 3 "$shots/statistics.txt")" = "$expected_tail" ] || fail "statistics block begins wrongly: $(cat "$shots/statistics.txt")"
grep -qxP "Total files scanned\t\t:  $files_on_c" "$shots/statistics.txt" || fail "scanned count is not $files_on_c: $(grep scanned "$shots/statistics.txt")"
grep -qxP 'Total files infected\t\t:  3' "$shots/statistics.txt" || fail "infected count is not 3"
grep -qxP 'Total files removed\t\t:  2' "$shots/statistics.txt" || fail "removed count is not 2"
[ ! -e "$work/one.exe" ] && [ ! -e "$work/two.dll" ] || fail "a specimen is still there"
[ -e "$work/held.exe" ] || fail "the held file went"
cmp -s "$work/near.exe" "$work/near.expected" || fail "the near-miss changed"
[ "$(cat "$work/notes.txt")" = "$(printf 'keep me\r\n')" ] || fail "the text file changed"
dump=$(driver dump "$title")
expect_control "$dump" 2 visible=0
expect_control "$dump" 1070 visible=1 enabled=1
expect_control "$dump" 1076 visible=0
expect_control "$dump" 1052 enabled=0
expect_control "$dump" 1065 "text=Scanning completed"
driver click "$title" 1070  # OK ends the program
expect_gone
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
reg delete "$session" /v PendingFileRenameOperations /f
rm -rf "$work"
mkdir -p "$work"

# --- Stopping a long scan: X asks under its caption, CANCEL under the program's -------------
mkdir -p "$work/bulk"
(cd "$work/bulk" && seq 1 30000 | xargs touch)
start_program
driver click "$title" 1052
sleep 1
driver click "$title" 1054
answer DialogBoxTitle 7 "Terminate the Scan now?" "6 7 "
sleep 0.5
driver exists "$title" || fail "answering No closed the program"
dump=$(driver dump "$title")
expect_control "$dump" 2 visible=1  # still scanning
driver click "$title" 2
answer "$title" 6 "Terminate the Scan now?" "6 7 "
driver wait-status "$title" "Scanning terminated" 60 || fail "the scan was not terminated"
list=$(driver list "$title")
[ "$(tail -n 1 <<<"$list")" = "$(printf 'Total files removed\t\t:  0')" ] || fail "no statistics after a stop"
dump=$(driver dump "$title")
expect_control "$dump" 1070 visible=1
key "$title" escape  # after the scan Escape closes at once
expect_gone

# --- Escape in the middle of the walk -------------------------------------------------------
start_program
driver click "$title" 1052
sleep 1
key "$title" escape
answer "$title" 7 "Terminate the Scan now?" "6 7 "
sleep 0.5
key "$title" escape
answer "$title" 6 "Terminate the Scan now?" "6 7 "
driver wait-status "$title" "Scanning terminated" 60 || fail "Escape did not stop the scan"
driver click "$title" 1070
expect_gone
rm -rf "$work"

# --- The message dialog on its own: button sets, icons' flags, results, growth --------------
probe() {
  rm -f "$shots/probe.out"
  (cd "$bin" && "$WINE" 'C:\vxbin\message-probe.exe' "$@" >"$shots/probe.raw" 2>&1; tr -d '\r' <"$shots/probe.raw" >"$shots/probe.out") &
  probe_pid=$!
}
probe_result() {
  wait "$probe_pid"
  for _ in $(seq 1 100); do
    [ -s "$shots/probe.out" ] && break
    sleep 0.1
  done
  sed -n 's/^answer=//p' "$shots/probe.out"
}
probe "Short message" "" 0
answer "$title" 3 "Short message" "3 "
[ "$(probe_result)" = 1 ] || fail "lone OK did not answer 1"
probe "Continue?" "Question" 0x24
driver dialog Question 20 >/dev/null
shot message
key Question escape question
[ "$(probe_result)" = 7 ] || fail "Escape on a yes/no question did not answer 7"
probe "Cancel this?" "Info" 0x41
answer Info 2 "Cancel this?" "1 2 "
[ "$(probe_result)" = 2 ] || fail "Cancel did not answer 2"
probe "Three" "Three" 3
answer Three 1 "Three" "1 2 "
[ "$(probe_result)" = 1 ] || fail "OK did not answer 1"
long=$(printf 'W32/Tarvix.Backdoor found in memory! registry entries created by the worm are removed. You must restart the computer and run this program to continue scanning.\n\nRestart the computer now?')
short_rect=$(probe "x" "Size" 0x41; driver dialog Size 20 | sed -n 's/^rect=//p'; key Size escape question; probe_result >/dev/null)
long_rect=$(probe "$long" "Size" 0x41; driver dialog Size 20 | sed -n 's/^rect=//p'; shot message-long; key Size escape question; probe_result >/dev/null)
IFS=, read -r l1 t1 r1 b1 <<<"$short_rect"
IFS=, read -r l2 t2 r2 b2 <<<"$long_rect"
[ $(((r2 - l2) - (r1 - l1))) = 75 ] || fail "a 186-character message widened the dialog by $(((r2 - l2) - (r1 - l1))), not 87 - 12"
[ $(((b2 - t2) - (b1 - t1))) = 42 ] || fail "a 186-character message heightened the dialog by $(((b2 - t2) - (b1 - t1))), not 49 - 7"

echo "screenshots in $shots"
if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
