#!/usr/bin/env bash
# The 32-bit desktop program in the WoW64 prefix (under wow64-run.sh), driven by the 64-bit
# UI driver: a scan of the whole C: while an infected 64-bit program runs and a specimen lies in
# the real System32, the statistics, OK closes it; screenshots in SHOTS (look at them).
#   wow64-ui-test.sh PREFIX WIN32_BUILD WIN64_BUILD HOST_BUILD SHOTS
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1" || exit 1
build32=$2 build64=$3 host=$4 shots=$5
mkdir -p "$shots"
rm -f "$shots"/*.png

. "$here/ui-common.sh"
work="$WINEPREFIX/drive_c/vxui"
system32="$WINEPREFIX/drive_c/windows/system32/vxui"

wine_copy "$build32/ui/vexpurge.exe" "$build64/tests/ui-driver.exe"
rm -rf "$work" "$system32"
mkdir -p "$work" "$system32"
trap 'rm -rf "$work" "$system32"' EXIT
specimen="$host/tools/specimen/vexpurge-specimen"
"$specimen" match 40 "$work/one.exe" >/dev/null
"$specimen" match 122 "$system32/two.dll" >/dev/null
"$specimen" pad "$build64/tools/specimen/runnable-specimen.exe" auto "$work/running.exe" >/dev/null
(cd "$work" && exec "$WINE" 'C:\vxui\running.exe' --seconds 900 >/dev/null 2>&1) &
running=$!
sleep 1
# Every file on C: is walked once (the running program's file goes in the memory sweep first).
files_on_c=$(( $(find -L "$WINEPREFIX/drive_c" -type f | wc -l) - 1 ))

start=$(date +%s)
(cd "$bin" && exec "$WINE" 'C:\vxbin\vexpurge.exe' >/dev/null 2>&1) &
driver wait "$title" 300 || fail "the 32-bit program did not start"
echo "the 32-bit program started in $(( $(date +%s) - start )) s"
sleep 2
shot wow64-ready
[ "$(pixel wow64-ready 61 40)" = "srgb(2,77,246)" ] || fail "the title area is $(pixel wow64-ready 61 40), not the skin's blue"
driver click "$title" 1052
driver wait-status "$title" "Scanning completed" 600 || fail "the scan did not complete"
echo "the 32-bit scan took $(( $(date +%s) - start )) s from the start"
shot wow64-finished
list=$(driver list "$title")
for expected in 'System Memory    W32/Tarvix.Backdoor removed' 'C:\vxui\one.exe     W32/Tarvix.12.Backdoor removed' \
                'C:\windows\system32\vxui\two.dll     W32/Tarvix.Eo.Backdoor removed'; do
  [ "$(grep -cxF "$expected" <<<"$list")" = 1 ] || fail "\"$expected\" not shown once"
done
grep -qxP "Total files scanned\t\t:  $files_on_c" <<<"$list" || fail "scanned count is not $files_on_c: $(grep scanned <<<"$list")"
grep -qxP 'Total files removed\t\t:  3' <<<"$list" || fail "removed count is not 3: $(grep removed <<<"$list")"
for gone in "$work/one.exe" "$work/running.exe" "$system32/two.dll"; do
  [ ! -e "$gone" ] || fail "$gone is still there"
done
kill -0 "$running" 2>/dev/null && fail "the infected program still runs"
driver click "$title" 1070  # OK ends the program
driver gone "$title" 60 >/dev/null || fail "OK did not close the program"
kill "$running" 2>/dev/null
wait "$running" 2>/dev/null
echo "screenshots in $shots"
if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
