#!/usr/bin/env bash
# vexpurge-scan --image on real disk images (made by make-images.sh): the findings, statistics
# and registry lines of the tree scanned as a folder, from bare file systems, MBR and GPT disks
# and their VHDX, VMDK, VHD and E01 conversions; the images never written; no action on an
# image; --extract; damaged and odd images refused or read as far as they go, never a crash or
# a hang. Skipped (77) where the images cannot be made.
#   image-test.sh HOST_BUILD
set -uo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scan="$build/cli/vexpurge-scan"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/make-images.sh" "$work/images" "$build" >"$work/make.log" 2>&1
made=$?
if [ $made != 0 ]; then
  cat "$work/make.log"
  [ $made = 77 ] && exit 77
  echo "FAIL: the images could not be made"
  exit 1
fi
cd "$work/images" || exit 2
# In the sanitized build: the system's libtsk leaks in the format probes that fail (see the
# suppressions); the whole stack is needed to tell those from ours.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/image-lsan.supp:print_suppressions=0"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Every run under a time limit, its exit status in $status; a sanitizer's report or a signal is a
# failure whatever else.
run() {
  timeout 60 "$@" >"$work/out" 2>"$work/err"
  status=$?
  if [ $status -ge 124 ] || grep -qE 'Sanitizer|runtime error' "$work/err"; then
    fail "$* crashed or hung (status $status): $(head -5 "$work/err")"
  fi
}
# The lines of OUTPUT (a folder scan) for FOLDER's files shown as PREFIX\path inside, sorted.
as_image() {  # OUTPUT FOLDER PREFIX
  python3 -c 'import sys
out, folder, prefix = sys.argv[1], sys.argv[2] + "/", sys.argv[3]
for line in open(out, encoding="utf-8", errors="surrogateescape"):
    path, blanks, rest = line.partition("     ")
    if blanks and path.startswith(folder):
        print(prefix + "\\" + path[len(folder):].replace("/", "\\") + blanks + rest, end="")' \
    "$1" "$2" "$3" | sort
}
findings() { grep -F '     W32/' "$1" | grep -v '^System Registry ' | sort; }
figure() { grep -P "^Total files $2\t\t:  " "$1" | sed 's/.*:  //'; }

# The hives are copied out to private temporary files, gone after each run.
export TMPDIR="$work/tmp"
mkdir "$TMPDIR"
images=(ntfs.img fat12.img fat16.img mbr.raw gpt.raw twice.raw mbr.vhdx mbr.vmdk mbr.vhd mbr.E01 damaged/*)
sha256sum "${images[@]}" >"$work/images.sha256"

# --- what the folders give --------------------------------------------------------------------
"$scan" --windows-root tree >"$work/tree.out" 2>&1
[ $? = 1 ] && [ "$(figure "$work/tree.out" infected)" = 5 ] || fail "the tree as a folder: $(cat "$work/tree.out")"
grep '^System Registry' "$work/tree.out" | sort >"$work/registry"
[ "$(wc -l <"$work/registry")" = 2 ] || fail "the tree's hives give no start-up value and service: $(cat "$work/registry")"
"$scan" fat-tree >"$work/fat.out" 2>&1
[ $? = 1 ] && [ "$(figure "$work/fat.out" infected)" = 2 ] || fail "the FAT tree as a folder: $(cat "$work/fat.out")"

# --- the same findings from every image --------------------------------------------------------
# IMAGE, then FOLDER:PART for each file system it holds (PART empty for a bare one).
check_image() {
  local image=$1 expected="" scanned=0 infected=0 registry=0 spec folder part out
  shift
  for spec in "$@"; do
    folder=${spec%%:*} part=${spec#*:}
    [ "$folder" = tree ] && out="$work/tree.out" registry=1 || out="$work/fat.out"
    expected+=$(as_image "$out" "$folder" "$image${part:+:$part}:")$'\n'
    scanned=$((scanned + $(figure "$out" scanned))) infected=$((infected + $(figure "$out" infected)))
  done
  run "$scan" --image "$image"
  [ "$status" = 1 ] || fail "$image: status $status, not 1: $(head -3 "$work/err")"
  [ -s "$work/err" ] && fail "$image: standard error is not a terminal, yet: $(head -3 "$work/err")"
  diff <(printf '%s' "$expected" | sort | sed '/^$/d') <(findings "$work/out") >"$work/diff" ||
    fail "$image: findings differ from the folders' (< folder, > image): $(cat "$work/diff")"
  [ "$(figure "$work/out" scanned)" = $scanned ] && [ "$(figure "$work/out" infected)" = $infected ] ||
    fail "$image: statistics differ from the folders' ($scanned scanned, $infected infected): $(grep Total "$work/out")"
  if [ $registry = 1 ]; then
    diff "$work/registry" <(grep '^System Registry' "$work/out" | sort) >"$work/diff" ||
      fail "$image: registry lines differ from --windows-root's: $(cat "$work/diff")"
  elif grep -q '^System Registry' "$work/out"; then
    fail "$image: registry lines without hives: $(grep '^System Registry' "$work/out")"
  fi
}
check_image ntfs.img tree:
check_image fat12.img fat-tree:
check_image fat16.img fat-tree:
check_image mbr.raw fat-tree:p1 tree:p5
check_image gpt.raw tree:p1 fat-tree:p2
for container in mbr.vhdx mbr.vmdk mbr.vhd mbr.E01; do check_image "$container" fat-tree:p1 tree:p5; done
# Two installations: both scanned, the registry read of p1's alone, and p2's named as unchecked.
run "$scan" --image twice.raw
[ $status = 1 ] && [ "$(findings "$work/out" | wc -l)" = 10 ] &&
  diff -q "$work/registry" <(grep '^System Registry' "$work/out" | sort) >/dev/null &&
  grep -q '^vexpurge-scan: twice.raw:p2: holds another Windows installation' "$work/err" &&
  ! grep -q 'twice.raw:p1: holds' "$work/err" || fail "two installations: status $status: $(cat "$work/err")"
# The image's path is shown as given.
run "$scan" --image "$work/images/fat12.img"; [ $status = 1 ] &&
  grep -qxF "$work/images/fat12.img:\\Long Name.exe     W32/Tarvix.12.Backdoor not disinfected as per user's selection" \
    "$work/out" || fail "an absolute image path is not shown as given: $(head -2 "$work/out")"
# JSON: each finding names its partition, the registry's that of the installation.
run "$scan" --json --image gpt.raw; [ $status = 1 ] &&
  python3 -c '
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
findings = [r for r in rows if r["type"] == "finding"]
for r in findings:
    wanted = "p1" if r["kind"] == "registry" else r["path"].split(":")[1]
    assert r.get("partition") == wanted, r
assert {r["kind"] for r in findings} == {"binary", "registry"}, findings
assert rows[-1]["type"] == "summary" and rows[-1]["exit_status"] == 1
' "$work/out" || fail "--json --image: $(cat "$work/out")"
# On a terminal: the progress line, and the findings all the same.
if command -v script >/dev/null; then
  SCAN="$scan" timeout 60 script -qec '"$SCAN" --image gpt.raw' /dev/null >"$work/tty" 2>&1
  [ $? = 1 ] && grep -q $'\r' "$work/tty" && [ "$(findings "$work/tty" | wc -l)" = 7 ] ||
    fail "on a terminal: $(tr '\r' '\n' <"$work/tty" | head -5)"
fi

# --- nothing but reading: actions refused, wrong combinations --------------------------------------
for action in --remove --rename "--move $work/quarantine"; do
  mkdir -p "$work/quarantine"
  # shellcheck disable=SC2086  # the action and its folder are two words
  run "$scan" $action --image mbr.raw; [ $status = 2 ] && [ ! -s "$work/out" ] &&
    grep -q -- '--windows-root' "$work/err" || fail "$action with --image: $(cat "$work/out" "$work/err")"
  [ -z "$(ls -A "$work/quarantine")" ] || fail "$action with --image put something in the quarantine"
done
run "$scan" --image mbr.raw tree; [ $status = 2 ] || fail "--image with a folder is not status 2"
run "$scan" --image mbr.raw --image gpt.raw; [ $status = 2 ] || fail "two --image are not status 2"
run "$scan" --image mbr.raw --windows-root tree; [ $status = 2 ] || fail "--image with --windows-root is not status 2"

# --- --extract: the findings' bytes, where they were, never overwriting -------------------------
mkdir extracted && printf 'mine' >extracted/a.exe
run "$scan" --extract extracted --image gpt.raw; [ $status = 1 ] || fail "--extract status: $(cat "$work/err")"
sed 's/ not disinfected as per user.s selection$//; s/     /\t/' <(findings "$work/out") >"$work/locations"
[ "$(cat extracted/a.exe)" = mine ] || fail "--extract overwrote a file"
check_extracted() {
  local location sample shown inside original
  for location in extracted/*.location; do
    sample=${location%.location}
    shown=$(cut -f1 "$location")
    inside=$(printf '%s' "${shown#gpt.raw:p?:\\}" | tr '\\' /)
    case "$shown" in gpt.raw:p1:*) original="tree/$inside" ;; *) original="fat-tree/$inside" ;; esac
    cmp -s "$sample" "$original" || fail "$sample is not $original's bytes"
  done
  diff <(cat extracted/*.location | sort) <(for _ in $(seq "$1"); do cat "$work/locations"; done | sort) >"$work/diff" ||
    fail "the .location files are not the findings (< files, > findings): $(cat "$work/diff")"
}
check_extracted 1
[ -e extracted/a.exe.1 ] && [ -e extracted/b.dll ] && [ -e extracted/b.dll.1 ] && [ ! -e extracted/a.exe.location ] ||
  fail "--extract names: $(ls extracted)"
# A second run beside the first: new names, the first run's files as they were.
sha256sum extracted/* >"$work/extracted.sha256"
run "$scan" --extract extracted --image gpt.raw; [ $status = 1 ] || fail "a second --extract"
sha256sum --quiet -c "$work/extracted.sha256" >/dev/null || fail "a second --extract changed the first run's files"
check_extracted 2
run "$scan" --extract "$work/none" --image gpt.raw; [ $status = 2 ] || fail "--extract into a missing folder"

# --- bad images: refused with a message, or read as far as they go --------------------------------
mkfifo "$work/fifo"
mkdir "$work/folder"
for bad in "$work/missing.img" "$work/fifo" "$work/folder" damaged/unknown.bin damaged/bad-table.raw; do
  run "$scan" --image "$bad"; [ $status = 2 ] && [ -s "$work/err" ] && [ -z "$(findings "$work/out")" ] ||
    fail "$bad: not refused with a message: $(cat "$work/out" "$work/err" | head -5)"
done
# What can be read is scanned, what cannot is said: status 2, or 1 when something was found. The
# FAT partition of the truncated disk is whole, its NTFS one cut short; the damaged MFT leaves
# the root folder's names but none of their records.
run "$scan" --image damaged/truncated.raw
[ -s "$work/err" ] && { [ $status = 2 ] || { [ $status = 1 ] && [ -n "$(findings "$work/out")" ]; }; } ||
  fail "the truncated disk: status $status: $(cat "$work/out" "$work/err" | head -5)"
run "$scan" --image damaged/bad-mft.img
[ $status = 2 ] && grep -q 'not scanned' "$work/err" || fail "the damaged MFT: status $status: $(head -5 "$work/err")"
# Allocation tables of text: chains that lead anywhere, loops among them. The bytes read may be
# wrong without any sign of it, so only a refusal must be said.
run "$scan" --image damaged/bad-fat.img
[ $status != 2 ] || [ -s "$work/err" ] || fail "the damaged FAT: status 2 without a message"

sha256sum --quiet -c "$work/images.sha256" || fail "an image changed"
[ -z "$(ls -A "$TMPDIR")" ] || fail "temporary files left behind: $(ls -A "$TMPDIR")"
if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
