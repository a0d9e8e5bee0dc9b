#!/usr/bin/env bash
# Builds the desktop program and starts it under Wine in the project's private prefix. With a
# display (DISPLAY set) it opens there and runs until closed; without one it opens on a virtual
# display, a screenshot is saved, and the program is closed again.
#   tools/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
build="$root/build/win64"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" >/dev/null
fi
cmake --build "$build" --target vexpurge ui-driver >/dev/null

. "$root/tests/wine/wine-env.sh"
if [ -n "${DISPLAY:-}" ]; then
  export VEXPURGE_OWN_DISPLAY=1
fi
wine_prepare "$build/wineprefix"
wine_copy "$build/ui/vexpurge.exe" "$build/tests/ui-driver.exe"
bin="$WINEPREFIX/drive_c/vxbin"
if [ -n "${VEXPURGE_OWN_DISPLAY:-}" ]; then
  cd "$bin" && exec "$WINE" 'C:\vxbin\vexpurge.exe'
fi

(cd "$bin" && exec "$WINE" 'C:\vxbin\vexpurge.exe' >/dev/null 2>&1) &
driver() { (cd "$bin" && "$WINE" 'C:\vxbin\ui-driver.exe' "$@") >/dev/null; }
driver wait "Vexpurge Ver 1.0" 30
sleep 1
shot="$build/screenshots/run.png"
mkdir -p "$(dirname "$shot")"
import -window root -crop 620x480+0+0 "$shot"
driver key "Vexpurge Ver 1.0" escape
wait
echo "No display: the program ran on a virtual display; its window is in $shot"
