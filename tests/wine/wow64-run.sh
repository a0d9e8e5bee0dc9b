#!/usr/bin/env bash
# Runs a command with 32-bit Wine available: the binfmt_misc entry for i386 programs is turned on
# for the command's time and off again on every way out, so that 64-bit prefixes made meanwhile
# elsewhere stay 64-bit only. The Wine scripts use the WoW64 prefix layout while it runs.
#   wow64-run.sh COMMAND [ARGS...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binfmt=$here/../../tools/binfmt-i386.sh
"$binfmt" register || exit 1
trap '"$binfmt" off' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
"$binfmt" on || exit 1
export VEXPURGE_WOW64=1
"$@"
