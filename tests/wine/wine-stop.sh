#!/usr/bin/env bash
# Ends the Wine server and the virtual display of a test prefix: the last step of a test run.
#   wine-stop.sh PREFIX
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_stop "$1"
