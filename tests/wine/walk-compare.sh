#!/usr/bin/env bash
# The walker and matcher under Wine and on the simulated machine must see the same drive the
# same way: vexpurge-scan.exe walks every fixed drive of the prefix (only C:), the host
# vexpurge-scan walks the same folder as its C:, and both must print the same statuses and
# results list, specimens included (reported, not removed).
#   walk-compare.sh PREFIX WINDOWS_SCAN.exe HOST_BUILD_FOLDER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1"
windows_scan=$2
host_scan=$3/cli/vexpurge-scan
make_specimen=$3/tools/specimen/vexpurge-specimen

drive="$WINEPREFIX/drive_c"
tree="$drive/walk"
rm -rf "$tree"
mkdir -p "$tree/Alpha/beta/Gamma" "$tree/empty" "$tree/dir.v2" "$tree/Program files/App" \
         "$tree/with space"
printf 'MZ' >"$tree/setup.exe"
printf 'text' >"$tree/README"
printf 'a' >"$tree/Alpha/a.b.c"
printf 'b' >"$tree/Alpha/beta/B.TXT"
printf 'c' >"$tree/Alpha/beta/Gamma/deep.dll"
printf 'd' >"$tree/dir.v2/inside"
printf 'e' >"$tree/Program files/App/app.exe"
printf 'f' >"$tree/with space/a file.txt"
"$make_specimen" match 40 "$tree/Alpha/beta/small.exe" >/dev/null
"$make_specimen" match 18 "$tree/dir.v2/row18.dll" >/dev/null
"$make_specimen" near-miss 45 second-byte "$tree/Alpha/near.exe" >/dev/null
for i in $(seq 1 40); do printf '%s' "$i" >"$tree/Alpha/file$i.dat"; done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The memory sweep first shows the image of every running process; the host has none. The drive
# walk begins with the first entry of C:\ itself.
drive_walk() { awk 'seen || /^status: C:\\[^\\]*$/ { seen = 1; print }'; }
# Both find the specimens, so both end with exit status 1.
{ wine_exec "$windows_scan" --trace || [ $? -eq 1 ]; } | tr -d '\r' | drive_walk >"$out/wine"
# The host shows paths as given; they are put back into the drive's terms for the comparison.
as_drive() { DRIVE=$drive perl -pe 's{^(status: )?\Q$ENV{DRIVE}\E(.*?)(?=     |$)}{($1 // "") . "C:" . ($2 =~ tr|/|\\|r)}e'; }
{ "$host_scan" --trace "$drive" || [ $? -eq 1 ]; } | as_drive | drive_walk >"$out/host"

fail=0
if ! diff -u "$out/wine" "$out/host" >"$out/diff"; then
  echo "walks differ (Wine first, host second):"
  head -40 "$out/diff"
  fail=1
fi
for expected in 'C:\walk\Alpha\beta\small.exe     W32/Tarvix.12.Backdoor not disinfected as per user'"'"'s selection' \
                'C:\walk\dir.v2\row18.dll     W32/Tarvix.19.Backdoor not disinfected as per user'"'"'s selection' \
                'Total files infected		:  2' \
                'status: C:\walk\Alpha\beta\Gamma\deep.dll' 'status: C:\walk\with space\a file.txt' \
                'status: C:\walk\README' 'status: Scanning completed' 'Scanning statistics'; do
  grep -qxF "$expected" "$out/wine" || { echo "missing under Wine: $expected"; fail=1; }
done
grep 'Total files scanned' "$out/wine"
# The Windows console scanner's --json: JSON Lines only, the two specimens among the findings,
# the summary last with the status the process returns.
status=0
wine_exec "$windows_scan" --json >"$out/json" || status=$?
python3 - "$out/json" "$status" <<'CHECK' || { echo "--json under Wine: $(head -c 2000 "$out/json")"; fail=1; }
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="ascii").read().splitlines()]
paths = {r["path"] for r in rows if r["type"] == "finding" and r["kind"] == "binary"}
assert {"C:\\walk\\Alpha\\beta\\small.exe", "C:\\walk\\dir.v2\\row18.dll"} <= paths, paths
assert rows[-1]["type"] == "summary" and rows[-1]["exit_status"] == int(sys.argv[2]) == 1, rows[-1]
CHECK
rm -rf "$tree"
exit $fail
