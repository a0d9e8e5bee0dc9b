#!/usr/bin/env bash
# Checks that each program is a Windows executable of the given kind: PE32 or PE32+.
set -euo pipefail
kind=$1
shift
status=0
for program in "$@"; do
  description=$(file -b "$program")
  case "$kind:$description" in
    "PE32:PE32 executable"*|"PE32+:PE32+ executable"*) echo "$program: $description" ;;
    *) echo "$program is not $kind: $description" >&2; status=1 ;;
  esac
done
exit $status
