#!/usr/bin/env bash
# vexpurge-scan as its users meet it: options and exit statuses, report-only leaving files as
# they are, removal, renaming, the quarantine keeping every file intact, quiet and logged output,
# paths shown as given.
#   vexpurge-scan-test.sh HOST_BUILD
set -uo pipefail
build=$1
scan="$build/cli/vexpurge-scan"
specimen="$build/tools/specimen/vexpurge-specimen"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
status_of() { "$@" >"$work/out" 2>"$work/err"; echo $?; }

make_tree() {
  rm -rf tree
  mkdir -p tree/sub "tree/with space"
  "$specimen" match 40 tree/a.exe >/dev/null
  "$specimen" match 45 "tree/with space/b.dll" >/dev/null
  "$specimen" near-miss 58 first-byte tree/sub/near.exe >/dev/null
  printf 'hello\n' >tree/sub/readme.txt
}

# --- options and exit statuses ----------------------------------------------------------------
[ "$(status_of "$scan" --help)" = 0 ] || fail "--help"
grep -q -- '--windows-root' "$work/out" || fail "--help does not describe the options"
[ "$(status_of "$scan" --version)" = 0 ] && grep -qx 'vexpurge-scan 1.0' "$work/out" || fail "--version"
[ "$(status_of "$scan" --bogus tree)" = 2 ] || fail "a bad option is not status 2"
[ "$(status_of "$scan")" = 2 ] || fail "no path is not status 2"
[ "$(status_of "$scan" "$work/missing")" = 2 ] || fail "a missing path is not status 2"
[ "$(status_of "$scan" --remove --rename tree)" = 2 ] || fail "two actions are not status 2"
[ "$(status_of "$scan" --move)" = 2 ] || fail "--move without a folder is not status 2"
[ "$(status_of "$scan" --list-signatures)" = 0 ] && [ "$(wc -l <"$work/out")" = 175 ] || fail "--list-signatures"

mkdir -p clean/inner && printf 'x' >clean/inner/x.txt
[ "$(status_of "$scan" clean)" = 0 ] || fail "a clean tree is not status 0"
[ -s "$work/err" ] && fail "standard error is not a terminal, yet something was written there: $(cat "$work/err")"

# --- report only (the default) --------------------------------------------------------------
make_tree
cp -r tree tree.before
[ "$(status_of "$scan" tree)" = 1 ] || fail "findings are not status 1"
grep -qxF "tree/a.exe     W32/Tarvix.12.Backdoor not disinfected as per user's selection" "$work/out" ||
  fail "report-only line for a.exe: $(head -3 "$work/out")"
grep -qxF "tree/with space/b.dll     W32/Tarvix.A.VirTool not disinfected as per user's selection" "$work/out" ||
  fail "report-only line for b.dll"
grep -qP '^Total files infected\t\t:  2$' "$work/out" || fail "infected count"
diff -r tree tree.before >/dev/null || fail "report-only changed the tree"

# A file given on its own, and an absolute path, are shown as given.
[ "$(status_of "$scan" "$work/tree/a.exe")" = 1 ] || fail "a file argument"
grep -qxF "$work/tree/a.exe     W32/Tarvix.12.Backdoor not disinfected as per user's selection" "$work/out" ||
  fail "a file argument's line: $(head -2 "$work/out")"

# --- quiet, log ------------------------------------------------------------------------------
[ "$(status_of "$scan" --quiet --log scan.log tree)" = 1 ] || fail "--quiet status"
[ "$(wc -l <"$work/out")" = 2 ] || fail "--quiet printed more than the findings: $(cat "$work/out")"
"$scan" --log scan.log clean >/dev/null
[ "$(wc -l <scan.log)" = $((2 + 6)) ] || fail "the log does not hold both runs: $(cat scan.log)"

# --- remove, rename ---------------------------------------------------------------------------
[ "$(status_of "$scan" --remove tree)" = 1 ] || fail "--remove status"
[ ! -e tree/a.exe ] && [ ! -e "tree/with space/b.dll" ] || fail "--remove left a specimen"
cmp -s tree/sub/near.exe tree.before/sub/near.exe && cmp -s tree/sub/readme.txt tree.before/sub/readme.txt ||
  fail "--remove touched a clean file"
grep -qxF "tree/a.exe     W32/Tarvix.12.Backdoor removed" "$work/out" || fail "removed line"
grep -qP '^Total files removed\t\t:  2$' "$work/out" || fail "removed count"

make_tree
[ "$(status_of "$scan" --rename tree)" = 1 ] || fail "--rename status"
[ -e tree/a.Vxe ] && [ ! -e tree/a.exe ] || fail "--rename did not rename a.exe"
grep -qxF "tree/a.exe     W32/Tarvix.12.Backdoor renamed" "$work/out" || fail "renamed line"

# --- quarantine: two findings with one name, both kept whole -------------------------------
rm -rf tree quarantine
mkdir -p tree/one tree/two quarantine
"$specimen" match 40 tree/one/same.exe >/dev/null
"$specimen" match 40 tree/two/same.exe >/dev/null
cp tree/one/same.exe expected.exe
[ "$(status_of "$scan" --move quarantine tree)" = 1 ] || fail "--move status"
[ ! -e tree/one/same.exe ] && [ ! -e tree/two/same.exe ] || fail "--move left a specimen in place"
[ -e quarantine/same.exe ] && [ -e quarantine/same.exe.1 ] || fail "quarantine names: $(ls quarantine)"
cmp -s quarantine/same.exe expected.exe && cmp -s quarantine/same.exe.1 expected.exe || fail "quarantined files changed"
origins=$(cat quarantine/same.exe.path quarantine/same.exe.1.path | tr -d '\r' | sort | tr '\n' ' ')
[ "$origins" = "$work/tree/one/same.exe $work/tree/two/same.exe " ] || fail "recorded origins: $origins"
grep -qxF "tree/one/same.exe     W32/Tarvix.12.Backdoor moved to quarantine" "$work/out" || fail "moved line"
# A third one never overwrites the first two.
"$specimen" match 40 tree/same.exe >/dev/null
"$scan" --move quarantine tree >/dev/null
[ -e quarantine/same.exe.2 ] && cmp -s quarantine/same.exe expected.exe || fail "a later move overwrote"
[ "$(status_of "$scan" --move tree/one tree)" = 2 ] || fail "a quarantine inside the scanned tree is not status 2"

# --- an installation that is not running -------------------------------------------------------
mkdir -p offline/WINDOWS/system32/config
"$specimen" match 40 offline/WINDOWS/system32/svcx.exe >/dev/null
[ "$(status_of "$scan" --windows-root offline)" = 1 ] || fail "an offline volume without hives: $(cat "$work/err")"
grep -qxF "offline/WINDOWS/system32/svcx.exe     W32/Tarvix.12.Backdoor not disinfected as per user's selection" \
  "$work/out" || fail "offline finding: $(head -2 "$work/out")"
[ "$(status_of "$scan" --windows-root offline tree)" = 2 ] || fail "--windows-root with other paths is not status 2"
head -c 20000 /dev/urandom >offline/WINDOWS/system32/config/SOFTWARE
cp offline/WINDOWS/system32/config/SOFTWARE software.before
# A hive that cannot be read: its problem in plain words, the files scanned all the same, status 2.
[ "$(status_of "$scan" --remove --windows-root offline)" = 2 ] || fail "a corrupt hive is not status 2"
grep -qF 'config/SOFTWARE: the registry hive cannot be read: the hive is damaged, or is not a registry hive' "$work/err" ||
  fail "the corrupt hive's problem is not told plainly: $(cat "$work/err")"
cmp -s offline/WINDOWS/system32/config/SOFTWARE software.before || fail "the corrupt hive changed"
[ ! -e offline/WINDOWS/system32/svcx.exe ] &&
  grep -qxF "offline/WINDOWS/system32/svcx.exe     W32/Tarvix.12.Backdoor removed" "$work/out" ||
  fail "the files were not scanned beside a corrupt hive: $(cat "$work/out")"
[ "$(status_of "$scan" --windows-root software.before)" = 2 ] || fail "--windows-root given a file is not status 2"

if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
