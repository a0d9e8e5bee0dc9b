#!/usr/bin/env bash
# The benchmark: vexpurge-scan against clamscan, yara and a C baseline that only does the I/O,
# on one deterministic corpus. Not part of the test run.
#
#   bench/run.sh [--files N] [--runs K]      N files in the corpus (default 30000), K timed runs
#                                            of each scanner (default 5)
#
# Installs what it lacks from Debian's packages (ClamAV runs only with the database written
# here: no freshclam, no network), builds the host tools, makes the corpus under
# build/bench/corpus when it is missing or its inputs changed, converts the signature table for
# ClamAV and YARA, checks every scanner's detections against the corpus manifest, measures, and
# writes build/bench/results.txt. See bench/README.md.
set -euo pipefail

files=30000
runs=5
while [ $# -gt 0 ]; do
  case "$1" in
    --files) files="${2:?--files takes a number}"; shift 2 ;;
    --runs) runs="${2:?--runs takes a number}"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "bench/run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$files$runs" in *[!0-9]*) echo "bench/run.sh: --files and --runs take numbers" >&2; exit 2 ;; esac

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
mkdir -p "$out"

# --- What the benchmark needs ----------------------------------------------------------------
missing=()
need() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need clamscan clamav
need yara yara
need yarac yara
need cmake cmake
need ninja ninja-build
need g++ g++
need gcc gcc
need python3 python3
need /usr/bin/time time
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The ClamAV packages bring the database updater's service; with no policy in place, forbid
  # starting services for the install so that nothing tries to fetch a database.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    made_policy=1
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  [ "$made_policy" -eq 0 ] || $sudo rm -f "$policy"
fi

# --- The host tools ----------------------------------------------------------------------------
cd "$root"
cmake -S . -B build/host -G Ninja >/dev/null
cmake --build build/host --target vexpurge-scan vexpurge-specimen
# The scanner measured is a copy, so that a rebuild of build/host while the benchmark runs
# neither removes it nor changes it between runs. The corpus maker links the specimen library
# and the table as built for the host; the baseline is plain C.
mkdir -p "$out/bin"
cp "$root/build/host/cli/vexpurge-scan" "$out/bin/vexpurge-scan"
g++ -O2 -std=c++17 -Wall -Wextra -I"$root" "$root/bench/make_corpus.cpp" \
  "$root/build/host/tools/specimen/libvexpurge_specimen.a" "$root/build/host/libvexpurge_core.a" \
  -o "$out/make-corpus"
scan="$out/bin/vexpurge-scan"
"$scan" --list-signatures > "$out/signatures.csv"
gcc -O2 -std=c11 -Wall -Wextra "$root/bench/baseline_scan.c" -o "$out/baseline-scan"

# --- The corpus: made again only when what decides its bytes has changed ------------------------
stamp="$(cat "$root/bench/make_corpus.cpp" "$root/tools/specimen/specimen.cpp" \
             "$root/tools/specimen/specimen.h" "$root/engine/signatures/signature_record.h" \
             "$out/signatures.csv" <(echo "files=$files") | sha256sum | cut -d' ' -f1)"
if [ ! -d "$out/corpus" ] || [ ! -f "$out/manifest.tsv" ] || \
   [ "$(cat "$out/corpus.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "bench: making the corpus ($files files)"
  rm -rf "$out/corpus" "$out/rows" "$out/odd-layouts" "$out/one-folder" "$out/manifest.tsv" \
    "$out/corpus.stamp"
  "$out/make-corpus" "$files" "$out/corpus" "$out/manifest.tsv"
  "$out/make-corpus" --one-per-row "$out/rows"
  "$out/make-corpus" --odd-layouts "$out/odd-layouts"
  "$out/make-corpus" --one-folder "$files" "$out/one-folder"
  echo "$stamp" > "$out/corpus.stamp"
else
  echo "bench: corpus is current ($(($(wc -l < "$out/manifest.tsv") - 1)) files)"
fi

# Warm the page cache once, so that no scanner pays for the first read from disk.
find "$out/corpus" "$out/rows" "$out/odd-layouts" "$out/one-folder" -type f \
  -exec cat {} + > /dev/null

python3 "$root/bench/measure.py" --out "$out" --corpus "$out/corpus" \
  --manifest "$out/manifest.tsv" --rows "$out/rows" --odd-layouts "$out/odd-layouts" \
  --one-folder "$out/one-folder" --table "$out/signatures.csv" --vexpurge "$scan" \
  --baseline "$out/baseline-scan" --runs "$runs"
