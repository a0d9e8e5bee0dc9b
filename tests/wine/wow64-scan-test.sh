#!/usr/bin/env bash
# The 32-bit vexpurge-scan.exe on the WoW64 prefix's C: (under wow64-run.sh): it walks the real
# System32 and SysWOW64 once each, exactly as the host build walks the same folder, removes a
# specimen from each, terminates and removes a running infected 64-bit program, and never loads
# the psapi.dll planted beside it although Wine is told to prefer that one.
#   wow64-scan-test.sh PREFIX SCAN.exe PLANTED.dll RUNNABLE64.exe HOST_BUILD
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1" || exit 1
scan=$2 planted=$3 runnable=$4
host_scan=$5/cli/vexpurge-scan
make_specimen=$5/tools/specimen/vexpurge-specimen

drive="$WINEPREFIX/drive_c"
bin="$drive/vxbin"
windows="$drive/windows"
out=$(mktemp -d)
fail=0
cleanup() {
  rm -rf "$out" "$windows/system32/vxscan" "$windows/syswow64/vxscan" "$drive/vxscan" "$bin/psapi.dll" \
         "$bin/planted-library-loaded"
}
trap cleanup EXIT
cleanup
out=$(mktemp -d)
mkdir -p "$windows/system32/vxscan" "$windows/syswow64/vxscan" "$drive/vxscan"
"$make_specimen" match 40 "$windows/system32/vxscan/in-system32.exe" >/dev/null
"$make_specimen" match 18 "$windows/syswow64/vxscan/in-syswow64.dll" >/dev/null
"$make_specimen" pad "$runnable" auto "$drive/vxscan/running.exe" >/dev/null
wine_copy "$scan"
cp -f "$planted" "$bin/psapi.dll"

# The drive walk as the host sees the same folder: every file once, under its own name.
drive_walk() { awk 'seen || /^status: C:\\[^\\]*$/ { seen = 1; print }' | grep '^status: ' | grep -v 'vxscan\\running.exe$'; }
as_drive() { DRIVE=$drive perl -pe 's{^(status: )?\Q$ENV{DRIVE}\E(.*?)(?=     |$)}{($1 // "") . "C:" . ($2 =~ tr|/|\\|r)}e'; }
{ "$host_scan" --trace "$drive" || [ $? -eq 1 ]; } | as_drive | drive_walk >"$out/host"

(cd "$drive/vxscan" && exec "$WINE" 'C:\vxscan\running.exe' --seconds 300 </dev/null >/dev/null 2>&1) &
running=$!
sleep 2
start=$(date +%s)
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;psapi=n,b" wine_exec "$scan" --remove --trace </dev/null | tr -d '\r' >"$out/wine"
echo "the 32-bit scan took $(( $(date +%s) - start )) s"
drive_walk <"$out/wine" >"$out/wine-walk"

if ! diff -u "$out/wine-walk" "$out/host" >"$out/diff"; then
  echo "FAIL: the 32-bit walk differs from the host's (32-bit first):"
  head -20 "$out/diff"
  fail=1
fi
for expected in 'C:\windows\system32\vxscan\in-system32.exe     W32/Tarvix.12.Backdoor removed' \
                'C:\windows\syswow64\vxscan\in-syswow64.dll     W32/Tarvix.19.Backdoor removed' \
                'System Memory    W32/Tarvix.Backdoor removed' 'status: Scanning completed'; do
  count=$(grep -cxF "$expected" "$out/wine")
  [ "$count" -eq 1 ] || { echo "FAIL: \"$expected\" shown $count times"; fail=1; }
done
grep 'Total files' "$out/wine"
for gone in "$windows/system32/vxscan/in-system32.exe" "$windows/syswow64/vxscan/in-syswow64.dll" \
            "$drive/vxscan/running.exe"; do
  [ ! -e "$gone" ] || { echo "FAIL: $gone is still there"; fail=1; }
done
if kill -0 "$running" 2>/dev/null; then echo "FAIL: the infected program still runs"; fail=1; fi
wait "$running" 2>/dev/null
[ ! -e "$bin/planted-library-loaded" ] || { echo "FAIL: the planted psapi.dll was loaded"; fail=1; }
exit $fail
