#!/usr/bin/env bash
# The benchmark: vexpurge-scan against clamscan, yara and a C baseline that only does the I/O,
# on one deterministic corpus. Not part of the test run.
#
#   bench/run.sh [--files N] [--runs K] [--threads LIST] [--no-scale]
#       N files in the corpus (default 30000), K timed runs of each scanner (default 5), the
#       thread counts swept (default 1,2,4,8,16,32); --no-scale leaves out the corpora of N/10
#       and 10N files and the folder of 100000 files that the scaling check times
#
# Installs what it lacks from Debian's packages (ClamAV runs only with the database written
# here: no freshclam, no network), builds the host tools, makes the corpora under build/bench
# when they are missing or their inputs changed, converts the signature table for ClamAV and
# YARA, checks every scanner's detections against the corpus manifest, measures warm and (as
# root) cold, sweeps the thread counts, times `vexpurge-scan --image` on the corpus copied into
# an NTFS image against the corpus as a folder (root and FUSE only: skipped and said otherwise),
# writes build/bench/results.txt and plots it in build/bench/files-per-second.png. See
# bench/README.md.
set -euo pipefail

files=30000
runs=5
threads=1,2,4,8,16,32
scale=1
while [ $# -gt 0 ]; do
  case "$1" in
    --files) files="${2:?--files takes a number}"; shift 2 ;;
    --runs) runs="${2:?--runs takes a number}"; shift 2 ;;
    --threads) threads="${2:?--threads takes a list}"; shift 2 ;;
    --no-scale) scale=0; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "bench/run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$files$runs" in *[!0-9]*) echo "bench/run.sh: --files and --runs take numbers" >&2; exit 2 ;; esac
case "$threads" in ""|*[!0-9,]*) echo "bench/run.sh: --threads takes numbers parted by commas" >&2; exit 2 ;; esac

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
need gnuplot gnuplot-nox
need mkntfs ntfs-3g
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
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
gcc -O2 -std=c11 -Wall -Wextra -pthread "$root/bench/baseline_scan.c" -o "$out/baseline-scan"

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

# The scaling check's corpora: a tenth and ten times as many files (the same generator), and one
# folder of 100000 files. Each is made again only when its inputs changed.
scale_args=()
if [ "$scale" -eq 1 ]; then
  for count in $((files / 10)) $((files * 10)); do
    [ "$count" -ge 1000 ] || continue
    dir="$out/scale/$count"
    scale_stamp="$(echo "$stamp" "$count" | sha256sum | cut -d' ' -f1)"
    if [ "$(cat "$dir.stamp" 2>/dev/null)" != "$scale_stamp" ]; then
      echo "bench: making the corpus of $count files for the scaling check"
      rm -rf "$dir" "$dir.tsv" "$dir.stamp"
      mkdir -p "$out/scale"
      "$out/make-corpus" "$count" "$dir" "$dir.tsv"
      echo "$scale_stamp" > "$dir.stamp"
    fi
    scale_args+=(--scale "$count:$dir:$dir.tsv")
  done
  wide="$out/scale/one-folder-100000"
  if [ "$(cat "$wide.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$wide" && mkdir -p "$out/scale"
    "$out/make-corpus" --one-folder 100000 "$wide"
    echo "$stamp" > "$wide.stamp"
  fi
  scale_args+=(--wide "$wide")
fi

# The corpus in a bare NTFS file system, made again only with the corpus. Filling it goes through
# an ntfs-3g mount, which needs root and FUSE; without them the image part is skipped and said.
image="$out/corpus-ntfs.img"
image_args=()
if [[ "$("$scan" --help)" != *--image* ]]; then
  image_args=(--image-skipped "this vexpurge-scan has no --image")
elif [ -f "$image" ] && [ "$(cat "$image.stamp" 2>/dev/null)" = "$stamp" ]; then
  image_args=(--image "$image")
else
  rm -f "$image" "$image.stamp"
  echo "bench: making the corpus's NTFS image"
  made=0
  "$root/tests/cli/make-images.sh" --ntfs "$out/corpus" "$image" 2>"$image.log" || made=$?
  if [ "$made" -eq 0 ]; then
    echo "$stamp" > "$image.stamp"
    image_args=(--image "$image")
  else
    rm -f "$image"
    reason="the image could not be made (status $made, see $image.log)"
    [ "$made" -ne 77 ] || reason="$(tail -1 "$image.log" | sed 's/^make-images.sh: skipped: //')"
    echo "bench: image part skipped: $reason"
    image_args=(--image-skipped "$reason")
  fi
fi

# Cold runs drop the page cache before each run, which only root may do.
cold_args=()
if [ "$(id -u)" -eq 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
  cold_args=(--cold)
else
  echo "bench: cold mode skipped: dropping the page cache needs root (/proc/sys/vm/drop_caches)"
  cold_args=(--cold-skipped "dropping the page cache needs root (/proc/sys/vm/drop_caches)")
fi

# Warm the page cache once, so that no scanner pays for the first read from disk.
find "$out/corpus" "$out/rows" "$out/odd-layouts" "$out/one-folder" -type f \
  -exec cat {} + > /dev/null
[ ! -f "$image" ] || cat "$image" > /dev/null

python3 "$root/bench/measure.py" --out "$out" --corpus "$out/corpus" \
  --manifest "$out/manifest.tsv" --rows "$out/rows" --odd-layouts "$out/odd-layouts" \
  --one-folder "$out/one-folder" --table "$out/signatures.csv" --vexpurge "$scan" \
  --baseline "$out/baseline-scan" --runs "$runs" --threads "$threads" "${cold_args[@]}" \
  "${scale_args[@]}" "${image_args[@]}"
