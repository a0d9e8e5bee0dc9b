#!/usr/bin/env bash
# Builds the fuzz targets (build/fuzz: clang, libFuzzer, AddressSanitizer and UBSan) and runs
# each one for a while over a fresh working copy of its seeds, so fuzz/seeds/ never grows:
#
#   tools/fuzz.sh [--seconds N] [--runs N] [--jobs N] [TARGET...]
#
# --seconds is each target's time (default 5); --runs stops a target after that many
# executions instead (with --seconds too, at whichever comes first). The targets run side by
# side, as many at once as --jobs says (default: as many as there are cores). Any crash,
# broken invariant, leak or timeout fails the run; its input is kept in build/fuzz/runs/TARGET/
# and the command to replay it is printed. The working corpora stay in build/fuzz/runs/ for a
# look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(pe_matcher_fuzzer text_scanner_fuzzer perf_data_fuzzer startup_sweep_fuzzer wininit_fuzzer)

usage() {
  echo "usage: tools/fuzz.sh [--seconds N] [--runs N] [--jobs N] [TARGET...]" >&2
  echo "targets: ${all_targets[*]}" >&2
}

seconds=
runs=
jobs_max=$(nproc)
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [ $# -ge 2 ] || { usage; exit 2; }; seconds="$2"; shift 2 ;;
    --seconds=*) seconds="${1#*=}"; shift ;;
    --runs) [ $# -ge 2 ] || { usage; exit 2; }; runs="$2"; shift 2 ;;
    --runs=*) runs="${1#*=}"; shift ;;
    --jobs) [ $# -ge 2 ] || { usage; exit 2; }; jobs_max="$2"; shift 2 ;;
    --jobs=*) jobs_max="${1#*=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "tools/fuzz.sh: unknown option $1" >&2; usage; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ -z "$seconds" ] && [ -z "$runs" ]; then seconds=5; fi
for option in seconds runs jobs_max; do
  value=${!option}
  if [ -n "$value" ] && ! [[ "$value" =~ ^[1-9][0-9]*$ ]]; then
    echo "tools/fuzz.sh: --${option%_max} needs a whole number above 0, not \"$value\"" >&2
    exit 2
  fi
done
limits=()
if [ -n "$seconds" ]; then limits+=(-max_total_time="$seconds"); fi
if [ -n "$runs" ]; then limits+=(-runs="$runs"); fi
if [ ${#targets[@]} -eq 0 ]; then targets=("${all_targets[@]}"); fi
for t in "${targets[@]}"; do
  if [[ " ${all_targets[*]} " != *" $t "* ]]; then
    echo "tools/fuzz.sh: no target \"$t\"" >&2
    usage
    exit 2
  fi
done

cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz

out=build/fuzz/runs
rm -rf "$out"
mkdir -p "$out"
# Specimens too large to keep among the seeds are made afresh for every run.
build/fuzz/vexpurge-fuzz-seeds --large "$out/large"

run_one() {
  local t=$1 dir="$out/$1"
  mkdir -p "$dir/corpus"
  cp fuzz/seeds/"$t"/* "$dir/corpus/"
  if [ -d "$out/large/$t" ]; then cp "$out/large/$t"/* "$dir/corpus/"; fi
  local status=0
  "build/fuzz/$t" "${limits[@]}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  echo "$status" >"$dir/status"
}

pids=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
  run_one "$t" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done

failed=0
for t in "${targets[@]}"; do
  dir="$out/$t"
  status=$(cat "$dir/status" 2>/dev/null || echo 1)
  executions=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$dir/log" | tail -n 1)
  if [ -z "$executions" ]; then
    executions=$(sed -n 's/^#\([0-9]*\)[[:space:]]*DONE.*/\1/p' "$dir/log" | tail -n 1)
  fi
  corpus=$(find "$dir/corpus" -type f | wc -l)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$dir/log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    printf '%-22s %10s executions (%s/s), corpus %s inputs: ok\n' "$t" "${executions:-?}" \
      "${rate:-?}" "$corpus"
  else
    failed=1
    printf '%-22s %10s executions: FAILED (exit %s)\n' "$t" "${executions:-?}" "$status"
    grep -E -A12 'invariant broken|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|SUMMARY' \
      "$dir/log" | head -n 40 >&2 || true
    for artifact in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*; do
      [ -e "$artifact" ] &&
        echo "  replay: ASAN_OPTIONS=malloc_context_size=30 build/fuzz/$t $artifact" >&2
    done
    echo "  log: $dir/log" >&2
  fi
done
if [ $failed -ne 0 ]; then echo "tools/fuzz.sh: some targets FAILED" >&2; fi
exit $failed
