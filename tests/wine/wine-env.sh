# Sourced by the Wine test scripts: a private prefix for this build, made once, with no drive
# mapped to the host's "/", a virtual display of its own, and a wineserver that outlives single
# runs for a while.
#   wine_prepare PREFIX       makes the prefix if needed, starts its display and server
#   wine_stop PREFIX          ends its server and its display
#   wine_exec PROGRAM ARGS... runs a Windows program from C:\vxbin (copied there first)
#   wine_copy FILE...         copies files the program needs into C:\vxbin beside it

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
# A prefix for 32-bit programs (under tests/wine/wow64-run.sh) is made with its 32-bit half.
ready_mark=.vexpurge-ready-3
if [ -n "${VEXPURGE_WOW64:-}" ]; then ready_mark=.vexpurge-ready-wow64-2; fi
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while a prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_prepare() {
  WINEPREFIX=$(realpath -m "$1")
  export WINEPREFIX
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/$ready_mark" ]; then
      rm -rf "$WINEPREFIX"
      "$WINE" wineboot -i >/dev/null 2>&1 || true
      "$WINESERVER" -w
      [ -d "$WINEPREFIX/drive_c/windows" ] || { echo "wine: could not make $WINEPREFIX" >&2; exit 1; }
      # A drive walk must never wander into the host's own files: no Z: for "/", and the
      # user's shell folders become plain folders instead of links to the host's home.
      rm -f "$WINEPREFIX/dosdevices/z:"
      find "$WINEPREFIX/drive_c" -type l | while read -r link; do
        rm -f "$link" && mkdir -p "$link"
      done
      # The virtual display has no window manager: Wine draws captions and frames itself.
      "$WINE" 'C:\windows\system32\reg.exe' add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
        >/dev/null 2>&1
      # The program's Arial is always DejaVu Sans here, whatever fonts the host has besides
      # (fonts-liberation, which some packages bring, would take its place and move the
      # layout the tests check by a pixel).
      "$WINE" 'C:\windows\system32\reg.exe' add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial \
        /d 'DejaVu Sans' /f >/dev/null 2>&1
      "$WINESERVER" -w
      touch "$WINEPREFIX/$ready_mark"
    fi
  ) 9>"$WINEPREFIX.lock"
  wine_display
  # Later launches are quick while the server stays up; it ends 30 s after the last program.
  # It and the system processes it starts must not hold the caller's output open, or whoever
  # reads that output waits for them to end.
  "$WINESERVER" --persistent=30 </dev/null >/dev/null 2>&1 || true
  "$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

wine_copy() {
  local bin="$WINEPREFIX/drive_c/vxbin"
  mkdir -p "$bin"
  local file
  for file in "$@"; do
    # Replace by rename: a copy in use by a running program keeps its own file.
    cp -f "$file" "$bin/.$(basename "$file").new"
    mv -f "$bin/.$(basename "$file").new" "$bin/$(basename "$file")"
  done
}

wine_exec() {
  local program=$1
  shift
  local bin="$WINEPREFIX/drive_c/vxbin"
  local name
  name=$(basename "$program")
  wine_copy "$program"
  (cd "$bin" && "$WINE" "C:\\vxbin\\$name" "$@")
}

# A virtual display for this prefix, kept in PREFIX.display ("number pid") while it runs. Every
# window the tests open lives there, never on the desktop of whoever runs the tests.
wine_display() {
  # Someone's own display, when asked for: the program is meant to be seen there.
  if [ -n "${VEXPURGE_OWN_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then
    return 0
  fi
  local state="$WINEPREFIX.display" number pid
  if [ -f "$state" ]; then
    read -r number pid <"$state"
    if kill -0 "$pid" 2>/dev/null; then
      export DISPLAY=":$number"
      return 0
    fi
    # The display is gone: a server still running would keep talking to it.
    "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  for number in $(seq 91 150); do
    [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] && continue
    Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    pid=$!
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      [ -e "/tmp/.X11-unix/X$number" ] && break
      sleep 0.2
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$number $pid" >"$state"
      export DISPLAY=":$number"
      return 0
    fi
  done
  echo "wine: no virtual display could be started" >&2
  return 1
}

wine_stop() {
  WINEPREFIX=$(realpath -m "$1")
  export WINEPREFIX
  "$WINESERVER" -k >/dev/null 2>&1 || true
  local state="$WINEPREFIX.display" number pid
  if [ -f "$state" ]; then
    read -r number pid <"$state"
    kill "$pid" 2>/dev/null || true
    rm -f "$state"
  fi
}
