#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine in a private prefix.
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1"
shift
wine_exec "$@"
