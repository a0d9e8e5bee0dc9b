#!/usr/bin/env bash
# Checks the sources without building them:
#  - every C and C++ file of ours is formatted as .clang-format says (the generated signature
#    tables excepted: tools/gen_signatures.py --check answers for those);
#  - includes run one way: the front ends (ui/, cli/) use the logic (engine/, cleanup/, memory/),
#    the logic uses the platform layer, and nothing points back: no platform/ file includes
#    engine/, cleanup/, memory/, ui/ or cli/, and no logic or cli/ file includes a ui/ header.
#
#   tools/check-source.sh [--fix]     --fix formats the files in place instead
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
if [ "${1:-}" = "--fix" ]; then fix=1; fi

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' | grep -v '^engine/signatures/.*\.cpp$')
status=0
if [ $fix -eq 1 ]; then
  clang-format -i "${files[@]}"
elif ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/vexpurge-format.$$; then
  grep -E '^[^ ]+:[0-9]+:[0-9]+: error' /tmp/vexpurge-format.$$ | cut -d: -f1 | sort -u |
    sed 's/^/check-source: not formatted: /' >&2
  echo "check-source: run tools/check-source.sh --fix" >&2
  status=1
fi
rm -f /tmp/vexpurge-format.$$

# Includes that point the wrong way, as "file: include".
backwards=$( { git grep -n -E '#include "(engine|cleanup|memory|ui|cli)/' -- platform/ || true
               git grep -n -E '#include "ui/' -- engine/ cleanup/ memory/ cli/ || true
               git grep -n -E '#include "cli/' -- engine/ cleanup/ memory/ || true; } )
if [ -n "$backwards" ]; then
  echo "check-source: includes against the layers (front ends -> logic -> platform):" >&2
  echo "$backwards" >&2
  status=1
fi
exit $status
