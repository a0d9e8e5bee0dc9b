# Sourced by the desktop-program tests after wine_prepare, with shots set to the screenshot
# folder: the window's title, where the programs lie, the driver, screenshots and their pixels.
title="Vexpurge Ver 1.0"
bin="$WINEPREFIX/drive_c/vxbin"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
driver() { (cd "$bin" && "$WINE" 'C:\vxbin\ui-driver.exe' "$@") | tr -d '\r'; }
shot() { sleep 0.5; import -window root "$shots/$1.png"; }
pixel() { convert "$shots/$1.png" -format "%[pixel:p{$2,$3}]" info:; }
