#!/usr/bin/env bash
# Runs a Windows-side test program in the WoW64 prefix (under wow64-run.sh), with a runnable
# specimen of the other width beside it and our psapi.dll planted there (also as vxplanted.dll),
# Wine told to prefer it.
#   wow64-tests.sh PREFIX TESTS.exe SPECIMEN.exe OTHER_WIDTH_SPECIMEN.exe PLANTED.dll [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1"
tests=$2 specimen=$3 other=$4 planted=$5
shift 5
bin="$WINEPREFIX/drive_c/vxbin"
wine_copy "$specimen"
rm -f "$bin/other-width-specimen.exe" "$bin/planted-library-loaded"
[ ! -f "$other" ] || cp -f "$other" "$bin/other-width-specimen.exe"
cp -f "$planted" "$bin/psapi.dll"
cp -f "$planted" "$bin/vxplanted.dll"
log=$(mktemp)
trap 'rm -f "$log" "$bin/psapi.dll" "$bin/vxplanted.dll" "$bin/other-width-specimen.exe" "$bin/planted-library-loaded"' EXIT
run() {
  status=0
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;psapi=n,b" wine_exec "$tests" "$@" >"$log" 2>&1 || status=$?
  cat "$log"
}
run "$@"
# The emulated loader of 32-bit Wine now and then trips over its own assertion (seen once in
# several runs): that, and only that, earns a second run.
if [ "$status" -ne 0 ] && grep -q 'Inconsistency detected by ld.so' "$log"; then
  echo "wow64-tests: the emulated loader failed; running once more" >&2
  run "$@"
fi
if [ -e "$bin/planted-library-loaded" ]; then
  echo "FAIL: the planted psapi.dll was loaded" >&2
  status=1
fi
exit $status
