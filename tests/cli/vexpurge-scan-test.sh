#!/usr/bin/env bash
# vexpurge-scan as its users meet it: options and exit statuses, report-only leaving files as
# they are, removal, renaming, the quarantine keeping every file intact, quiet and logged output,
# paths shown as given.
#   vexpurge-scan-test.sh HOST_BUILD
set -uo pipefail
build=$1
scan="$build/cli/vexpurge-scan"
specimen="$build/tools/specimen/vexpurge-specimen"
text_table="$(cd "$(dirname "$0")/../.." && pwd)/engine/signatures/text_signature_table.cpp"
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

# A tree for reading ahead, made first: files changed in the last two seconds are read as usual,
# so it is scanned last.
mkdir -p ahead/wide ahead/deep/er
for row in 1 40 45 58 90 175; do
  "$specimen" match $row ahead/wide/match$row.exe >/dev/null
  for kind in longer shorter first-byte second-byte 21-sections no-pe short-headers; do
    "$specimen" near-miss $row $kind ahead/wide/near$row-$kind.exe >/dev/null 2>&1  # not every kind fits every row
  done
done
for i in $(seq 1 40); do printf 'text %d\n' "$i" >"ahead/deep/er/t$i.txt"; done
"$specimen" match 40 ahead/deep/er/z.exe >/dev/null
ahead_made=$SECONDS

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

# --- names with control characters are escaped; output that cannot be written is an error -------
rm -rf odd && mkdir odd
"$specimen" match 40 "odd/$(printf 'a\033[2Jb\nc.exe')" >/dev/null
[ "$(status_of "$scan" --log odd.log odd)" = 1 ] || fail "a name with control characters"
for shown in "$work/out" odd.log; do
  grep -qxF 'odd/a\x1B[2Jb\x0Ac.exe     W32/Tarvix.12.Backdoor not disinfected as per user'"'"'s selection' "$shown" &&
    ! grep -q "$(printf '\033')" "$shown" || fail "control characters printed raw: $(cat -A "$shown")"
done
[ "$(status_of "$scan" "odd/$(printf 'no\033such')")" = 2 ] && grep -qF 'odd/no\x1Bsuch' "$work/err" || fail "a message quotes a name raw"
if [ -w /dev/full ]; then
  [ "$(status_of "$scan" odd)" = 1 ] && "$scan" odd >/dev/full 2>"$work/err"; [ $? = 2 ] && [ -s "$work/err" ] ||
    fail "a failed write to standard output is not status 2"
  [ "$(status_of "$scan" --log /dev/full odd)" = 2 ] || fail "a failed write to the log is not status 2"
fi

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

# A symbolic link named on the command line stands for the file it points to.
rm -rf linked && mkdir linked
"$specimen" match 40 linked/real.exe >/dev/null && ln -s real.exe linked/link.exe
[ "$(status_of "$scan" --remove linked/link.exe)" = 1 ] && [ ! -e linked/real.exe ] && [ -L linked/link.exe ] &&
  grep -qxF "$work/linked/real.exe     W32/Tarvix.12.Backdoor removed" "$work/out" && grep -q 'symbolic link' "$work/out" ||
  fail "--remove of a link: $(ls linked) $(cat "$work/out")"
rm -rf linked quarantine && mkdir linked quarantine
"$specimen" match 40 linked/real.exe >/dev/null && ln -s real.exe linked/link.exe
"$scan" --move quarantine linked/link.exe >/dev/null
[ ! -e linked/real.exe ] && [ -f quarantine/real.exe ] && [ ! -L quarantine/real.exe ] || fail "--move of a link: $(ls -l quarantine)"

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
# The record holds the path exactly, whatever blanks a folder's name holds.
mkdir -p "blanks/five     blanks" && cp expected.exe "blanks/five     blanks/x.exe"
"$scan" --move quarantine blanks >"$work/out"
[ "$(tr -d '\r' <quarantine/x.exe.path)" = "$work/blanks/five     blanks/x.exe" ] || fail "record of a blank-named folder: $(cat quarantine/x.exe.path)"
grep -qxF "blanks/five     blanks/x.exe     W32/Tarvix.12.Backdoor moved to quarantine" "$work/out" || fail "line of a blank-named folder: $(cat "$work/out")"
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

# --- disk images: refused actions and bad input, each a message and status 2, nothing blocks -----
# Without The Sleuth Kit (missing, or a library without its functions) only --image is refused.
truncate -s 1M blank.img
for library in libvexpurge-missing.so.0 libc.so.6; do
  [ "$(VEXPURGE_TSK_LIBRARY=$library status_of "$scan" --image blank.img)" = 2 ] &&
    grep -qF "vexpurge-scan: --image needs The Sleuth Kit library ($library), which cannot be loaded: " "$work/err" &&
    [ "$(VEXPURGE_TSK_LIBRARY=$library status_of "$scan" -q expected.exe)" = 1 ] ||
    fail "without The Sleuth Kit ($library): $(cat "$work/err")"
done
if command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null; then
  truncate -s 10M fat.img && mkfs.fat -F 16 fat.img >/dev/null && mmd -i fat.img ::Sub &&
    "$specimen" match 40 a.exe >/dev/null && mcopy -i fat.img a.exe ::Sub/a.exe && mcopy -i fat.img a.exe ::b.exe
  cp fat.img fat.before
  [ "$(status_of "$scan" --image fat.img)" = 1 ] &&
    grep -qxF 'fat.img:\Sub\a.exe     W32/Tarvix.12.Backdoor not disinfected as per user'"'"'s selection' "$work/out" ||
    fail "a bare FAT image: $(cat "$work/out" "$work/err")"
  for action in --remove --rename "--move tree"; do
    [ "$(status_of "$scan" $action --image fat.img)" = 2 ] && grep -q 'evidence.*--windows-root' "$work/err" ||
      fail "--image with $action: $(cat "$work/err")"
  done
  [ "$(status_of "$scan" --image fat.img tree)" = 2 ] || fail "--image with a path is not status 2"
  [ "$(status_of "$scan" --extract tree tree)" = 2 ] || fail "--extract without --image is not status 2"
  rm -rf extracted && mkdir extracted
  "$scan" --image fat.img --extract extracted >/dev/null; "$scan" -q --image fat.img --extract extracted >/dev/null
  cmp -s extracted/a.exe a.exe && cmp -s extracted/a.exe.1 a.exe &&
    [ "$(cat extracted/a.exe.location)" = "$(printf 'fat.img:\\Sub\\a.exe\tW32/Tarvix.12.Backdoor')" ] ||
    fail "--extract: $(ls extracted; cat extracted/a.exe.location)"
  mkfifo image.fifo && mkdir image.dir && head -c 200000 /dev/urandom >image.random && head -c 30000 fat.img >image.short
  # The FAT holds bad-cluster marks: the files it cannot give are said, the rest scanned.
  cp fat.img image.damaged && printf '\xf7\xff%.0s' {1..64} | dd of=image.damaged bs=1 seek=$(($(od -An -tu2 -j14 -N2 fat.img) * 512 + 4)) conv=notrunc status=none
  for bad in image.fifo image.dir image.missing image.random image.short image.damaged; do
    [ "$(status_of timeout 20 "$scan" --image $bad)" = 2 ] && grep -q "^vexpurge-scan: $bad" "$work/err" ||
      fail "a bad image, $bad: $(cat "$work/err")"
  done
  grep -qF 'image.damaged:\Sub: cannot be read, not scanned' "$work/err" || fail "the damaged image: $(cat "$work/err")"
  cmp -s fat.img fat.before || fail "the image changed"
  # Partitions numbered as Linux numbers them: MBR slots, logical partitions from 5, GPT entries.
  if command -v sfdisk >/dev/null; then
    truncate -s 64M mbr.img gpt.img
    printf 'start=2048,size=20480,type=83\nstart=22528,type=5\nstart=24576,size=20480,type=c\nstart=47104,size=20480,type=c\n' |
      sfdisk -q mbr.img
    printf 'label: gpt\nstart=2048,size=20480\nstart=22528,size=20480\n' | sfdisk -q gpt.img
    for at in mbr.img:24576 mbr.img:47104 gpt.img:22528; do
      dd if=fat.img of=${at%:*} bs=512 seek=${at#*:} conv=notrunc status=none
    done
    "$scan" -q --image mbr.img >"$work/out" 2>&1
    "$scan" -q --image gpt.img >>"$work/out" 2>&1
    [ "$(grep -c 'W32/Tarvix' "$work/out")" = 6 ] && grep -qF 'mbr.img:p5:\Sub\a.exe ' "$work/out" &&
      grep -qF 'mbr.img:p6:\b.exe ' "$work/out" && grep -qF 'gpt.img:p2:\Sub\a.exe ' "$work/out" ||
      fail "partition numbers: $(cat "$work/out")"
    # On a terminal, a progress line names the partition, the files and the bytes done.
    if command -v script >/dev/null; then
      script -qc "'$scan' --image mbr.img" /dev/null >"$work/out"
      grep -qaE 'p[56]  [0-9]+ files  [0-9.]+ MB' "$work/out" || fail "no progress line: $(cat -A "$work/out" | head -3)"
    fi
  fi
fi

# --- the hosts file: checked once a scan, even with no binary found; every action on it ---------
infected_hosts() {  # a hosts file with the text signature at $1
  mkdir -p "$(dirname "$1")"
  python3 -c 'import re, sys
table = bytes(int(x, 16) for x in re.findall(r"0x([0-9a-f]{2})", open(sys.argv[1]).read().split("{{", 1)[1]))
sys.stdout.buffer.write(b"begin 644 hosts\n" + bytes(c ^ 0xA7 for c in table[35:135]) + b"\nend\n")' "$text_table" >"$1"
}
hosts=Windows/System32/drivers/etc/hosts
rm -rf tree quarantine && mkdir quarantine
infected_hosts "tree/$hosts"
[ "$(status_of "$scan" tree)" = 1 ] && grep -q "hosts     W32/Kelto.Worm" "$work/out" || fail "a hosts file without a binary: $(cat "$work/out")"
# Shown as the disk spells it, so that the path shown can be used.
grep -qxF "tree/$hosts     W32/Kelto.Worm Not Disinfected As Per User's Selection" "$work/out" || fail "hosts spelling: $(head -1 "$work/out")"
for n in 1 2 3 4; do "$specimen" match 40 "tree/f$n.exe" >/dev/null; done
for root in "" --windows-root; do
  status_of "$scan" $root tree >/dev/null
  [ "$(grep -c "hosts     W32/Kelto.Worm" "$work/out")" = 1 ] && grep -qP '^Total files infected\t\t:  5$' "$work/out" ||
    fail "the hosts file is not reported and counted once ($root): $(cat "$work/out")"
done
"$scan" --move quarantine tree >"$work/out"
[ ! -e "tree/$hosts" ] && [ -e quarantine/hosts ] && grep -q "hosts     W32/Kelto.Worm moved to quarantine" "$work/out" ||
  fail "--move and the hosts file: $(ls quarantine) $(head -1 "$work/out")"
infected_hosts "tree/$hosts"
"$scan" --rename tree >"$work/out"
[ ! -e "tree/$hosts" ] && [ -e "tree/$hosts.V" ] || fail "--rename and the hosts file: $(ls "tree/$(dirname $hosts)")"

# --- every file once, and said when it cannot be -------------------------------------------------
rm -rf tree && mkdir -p tree/sub
"$specimen" match 40 tree/sub/a.exe >/dev/null
# Repeated targets: the same folder twice, a folder and its subfolder, a folder and a file in it.
[ "$(status_of "$scan" tree tree/ tree/sub "$work/tree/sub/a.exe" tree/sub/../sub)" = 1 ] || fail "repeated targets status"
grep -qP '^Total files scanned\t\t:  1$' "$work/out" && [ "$(grep -c 'a.exe ' "$work/out")" = 1 ] ||
  fail "repeated targets are scanned more than once: $(cat "$work/out")"
# A FIFO in the tree, or named, neither blocks nor counts.
mkfifo tree/pipe.exe tree/sub/pipe
[ "$(status_of timeout 20 "$scan" tree)" = 1 ] && grep -qP '^Total files scanned\t\t:  1$' "$work/out" ||
  fail "a FIFO in the tree: $(cat "$work/out" "$work/err")"
[ "$(status_of timeout 20 "$scan" tree/pipe.exe)" = 2 ] || fail "a FIFO named as target"
rm -f tree/pipe.exe tree/sub/pipe
mkdir -p fifo-root/WINDOWS/system32/config && mkfifo fifo-root/WINDOWS/system32/config/SYSTEM
[ "$(status_of timeout 20 "$scan" --windows-root fifo-root)" = 2 ] && grep -q 'SYSTEM' "$work/err" || fail "a FIFO as a hive"
# Names that differ only in case, and a name with a backslash: each its own file, shown as it is.
printf 'clean' >tree/sub/A.EXE
"$specimen" match 40 'tree/back\slash.exe' >/dev/null
[ "$(status_of "$scan" 'tree/back\slash.exe')" = 1 ] || fail "a backslash name given on its own"
[ "$(status_of "$scan" --remove tree)" = 1 ] || fail "case twins status"
grep -qP '^Total files scanned\t\t:  3$' "$work/out" && grep -qP '^Total files removed\t\t:  2$' "$work/out" ||
  fail "case twins or backslash name: $(cat "$work/out")"
grep -qxF 'tree/back\slash.exe     W32/Tarvix.12.Backdoor removed' "$work/out" || fail "backslash name shown: $(cat "$work/out")"
[ ! -e tree/sub/a.exe ] && [ ! -e 'tree/back\slash.exe' ] && [ "$(cat tree/sub/A.EXE)" = clean ] || fail "the wrong twin was taken"
# A path beyond the engine's path buffers is said and not counted.
long=$(printf 'd%.0s' {1..100})
deep=tree/$long/$long/$long
mkdir -p "$deep" && printf 'x' >"$deep/f.txt"
[ "$(status_of "$scan" tree)" = 2 ] && grep -q "path too long, not scanned" "$work/err" || fail "a too-deep path: $(cat "$work/err")"
rm -rf "tree/d"*
# Unreadable files and folders, for a user who may not read them: said, not counted, status 2.
as_user() { if [ "$(id -u)" = 0 ]; then setpriv --bounding-set=-dac_override,-dac_read_search "$@"; else "$@"; fi; }
if command -v setpriv >/dev/null || [ "$(id -u)" != 0 ]; then
  mkdir -p tree/locked && printf 'x' >tree/locked/x.txt && printf 'x' >tree/sub/closed.txt
  chmod 000 tree/locked tree/sub/closed.txt
  [ "$(status_of as_user "$scan" tree)" = 2 ] || fail "unreadable entries are not status 2: $(cat "$work/err")"
  grep -qxF "vexpurge-scan: tree/locked: cannot be read, not scanned" "$work/err" &&
    grep -qxF "vexpurge-scan: tree/sub/closed.txt: cannot be read, not scanned" "$work/err" || fail "unreadable entries not said: $(cat "$work/err")"
  grep -qP '^Total files scanned\t\t:  1$' "$work/out" || fail "an unreadable file was counted: $(cat "$work/out")"
  "$specimen" match 40 tree/sub/b.exe >/dev/null
  [ "$(status_of as_user "$scan" tree)" = 1 ] || fail "a finding beside unreadable entries is not status 1"
  chmod 755 tree/locked && chmod 644 tree/sub/closed.txt
fi

# --- threads: the same lines, statistics and status however many read ahead ------------------
[ "$(status_of "$scan" --threads 0 tree)" = 2 ] || fail "--threads 0 is not status 2"
[ "$(status_of "$scan" --threads x tree)" = 2 ] || fail "--threads x is not status 2"
while [ $((SECONDS - ahead_made)) -lt 3 ]; do sleep 0.2; done
"$scan" --threads 1 ahead >"$work/one" 2>&1
one_status=$?
for threads in 2 4 16; do
  VEXPURGE_READ_AHEAD=always "$scan" --threads $threads ahead >"$work/many" 2>&1
  [ $? = $one_status ] && cmp -s "$work/one" "$work/many" ||
    fail "--threads $threads differs from --threads 1: $(diff "$work/one" "$work/many" | head -5)"
done
[ $one_status = 1 ] && grep -qP '^Total files infected\t\t:  7$' "$work/one" || fail "the tree read ahead: $(cat "$work/one")"

# --- --json: JSON Lines only, one object per finding, then the summary ---------------------------
# Prints each finding as "kind action outcome path name new_path" (unusual characters as Python
# escapes), then "summary scanned infected removed not-scanned exit-status"; fails on any line
# that is not a JSON object of ASCII, or a summary that is not last or not the status given.
json_rows() {
  python3 - "$1" "$2" <<'PY'
import json, sys
lines = open(sys.argv[1], "rb").read().split(b"\n")
assert lines.pop() == b"", "the output does not end with a line break"
rows = [json.loads(line.decode("ascii")) for line in lines]
esc = lambda text: text.encode("unicode_escape").decode()
for row in rows[:-1]:
    assert row["type"] == "finding" and "partition" not in row, row
    assert ("new_path" in row) == (row["action"] in ("rename", "quarantine") and row["outcome"] == "done"), row
    print(row["kind"], row["action"], row["outcome"], esc(row["path"]), row["name"], esc(row.get("new_path", "")))
s = rows[-1]
assert s["type"] == "summary" and s["exit_status"] == int(sys.argv[2]) and s["duration_seconds"] >= 0, s
print("summary", s["files_scanned"], s["files_infected"], s["files_removed"], s["files_not_scanned"], s["exit_status"])
PY
}
make_tree
rm -rf odd && mkdir odd
"$specimen" match 40 "odd/$(printf 'a\033[2Jb\nc\377.exe')" >/dev/null
rm -f json.log
status=$(status_of "$scan" --json --log json.log tree odd)
json_rows "$work/out" "$status" >rows || fail "--json output: $(cat "$work/out")"
[ "$status" = 1 ] && [ ! -s "$work/err" ] || fail "--json status $status or messages: $(cat "$work/err")"
sort rows >rows.sorted
printf '%s\n' "binary report-only left-as-selected odd/a\\x1b[2Jb\\nc\\xff.exe W32/Tarvix.12.Backdoor " \
  "binary report-only left-as-selected tree/a.exe W32/Tarvix.12.Backdoor " \
  "binary report-only left-as-selected tree/with space/b.dll W32/Tarvix.A.VirTool " \
  "summary 5 3 0 0 1" | diff - rows.sorted || fail "--json findings and summary"
grep -qxF "tree/a.exe     W32/Tarvix.12.Backdoor not disinfected as per user's selection" json.log &&
  grep -qP '^Total files infected\t\t:  3$' json.log || fail "--json: the log lost its text lines: $(cat json.log)"
status=$(status_of "$scan" --json --remove tree)
json_rows "$work/out" "$status" >rows && grep -qxF "binary delete done tree/a.exe W32/Tarvix.12.Backdoor " rows &&
  grep -qx "summary 4 2 2 0 1" rows && [ ! -e tree/a.exe ] || fail "--json --remove: $(cat "$work/out")"
status=$(status_of "$scan" --json clean)
[ "$status" = 0 ] && [ "$(json_rows "$work/out" 0)" = "summary 1 0 0 0 0" ] || fail "--json of a clean tree: $(cat "$work/out")"
# The front end's own notes are not lost without a log: they go to standard error.
rm -rf linked && mkdir linked && "$specimen" match 40 linked/real.exe >/dev/null && ln -s real.exe linked/link.exe
status=$(status_of "$scan" --json linked/link.exe)
json_rows "$work/out" "$status" >/dev/null && grep -q 'symbolic link' "$work/err" ||
  fail "--json: the link's note: $(cat "$work/out" "$work/err")"

# An installation that is not running: its start-up value and service are findings too.
rm -rf offline && mkdir -p offline/WINDOWS/system32/config
"$specimen" match 40 offline/WINDOWS/system32/svcx.exe >/dev/null
"$build/tests/vexpurge-make-hive" offline/WINDOWS/system32/config/SOFTWARE \
  'Microsoft\Windows\CurrentVersion\Run' svcx expand_sz 'C:\WINDOWS\system32\svcx.exe' \
  'Microsoft\Windows\CurrentVersion\Run' keep expand_sz 'C:\keep.exe'
"$build/tests/vexpurge-make-hive" offline/WINDOWS/system32/config/SYSTEM \
  'ControlSet001\Services\svcx' ImagePath expand_sz '%SystemRoot%\system32\svcx.exe' \
  'ControlSet001\Services\keep' ImagePath expand_sz 'C:\keep.exe'
for action in report-only delete; do
  status=$(status_of "$scan" --json $([ $action = delete ] && echo --remove) --windows-root offline)
  outcome=$([ $action = delete ] && echo done || echo left-as-selected)
  json_rows "$work/out" "$status" >rows
  run='HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\svcx'
  printf '%s\n' "registry $action $outcome $run W32/Tarvix.Backdoor " \
    "binary $action $outcome offline/WINDOWS/system32/svcx.exe W32/Tarvix.12.Backdoor " \
    "registry $action $outcome HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\ControlSet001\\\\Services\\\\svcx W32/Tarvix.Backdoor " |
    diff - <(grep -v ^summary rows) || fail "--json --windows-root ($action): $(cat "$work/out" "$work/err")"
  # Standard error keeps the notes (where a hive's backup is), not the lines the objects stand for.
  ! grep -q '(service ' "$work/err" && { [ $action = report-only ] || grep -q 'backup of' "$work/err"; } ||
    fail "--json --windows-root ($action), standard error: $(cat "$work/err")"
done

if [ $failures -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
