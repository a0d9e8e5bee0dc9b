#!/usr/bin/env bash
# The i386 entry of binfmt_misc, through which 32-bit Wine runs under user-mode emulation.
#   binfmt-i386.sh register   mounts binfmt_misc if needed and registers the entry, turned off
#   binfmt-i386.sh on|off     turns the registered entry on or off (it acts on the whole machine)
#   binfmt-i386.sh status     prints "enabled", "disabled" or "missing"
set -euo pipefail
dir=/proc/sys/fs/binfmt_misc
entry=$dir/qemu-i386
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

write() { printf '%s' "$1" | "${sudo_cmd[@]}" tee "$2" >/dev/null; }

case "${1:-}" in
  register)
    if [ ! -e "$dir/register" ]; then
      "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$dir"
    fi
    if [ ! -e "$entry" ]; then
      magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
      mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
      write ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" "$dir/register"
    fi
    # Off even when a package registered it on: the 64-bit tests must not start 32-bit Wine.
    write 0 "$entry"
    ;;
  on) write 1 "$entry" ;;
  off) [ ! -e "$entry" ] || write 0 "$entry" ;;
  status)
    if [ -e "$entry" ]; then head -n1 "$entry"; else echo missing; fi
    ;;
  *) echo "usage: $0 register|on|off|status" >&2; exit 2 ;;
esac
