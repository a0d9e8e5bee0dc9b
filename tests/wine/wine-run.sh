#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine in a private prefix.
#   wine-run.sh PREFIX [--with FILE]... [--version WINVER] PROGRAM.exe [ARGS...]
# --with copies a file the program needs beside it; --version makes the prefix report that
# Windows version (win98, nt40, winxp64, win7...) for this run only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_prepare "$1"
shift
version=
while [ $# -gt 0 ]; do
  case "$1" in
    --with) wine_copy "$2"; shift 2 ;;
    --version) version=$2; shift 2 ;;
    *) break ;;
  esac
done
reg='C:\windows\system32\reg.exe'
if [ -n "$version" ]; then
  "$WINE" "$reg" add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
  trap '"$WINE" "$reg" delete "HKCU\\Software\\Wine" /v Version /f >/dev/null 2>&1 || true' EXIT
fi
status=0
wine_exec "$@" || status=$?
exit $status
