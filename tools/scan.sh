#!/usr/bin/env bash
# Builds the host front end and scans one folder with it, as if it were the machine's C: drive:
#   tools/scan.sh [--remove] [--trace] FOLDER
#   tools/scan.sh --list-signatures
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
cmake -S "$root" -B "$root/build/host" -G Ninja >/dev/null
cmake --build "$root/build/host" --target vexpurge-scan >/dev/null
exec "$root/build/host/cli/vexpurge-scan" "$@"
