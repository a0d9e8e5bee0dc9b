#!/usr/bin/env bash
# Installs the Debian packages that the three builds and the tests need, and only those
# that are missing: a second run on a ready machine installs nothing. 32-bit Wine runs under
# user-mode emulation: its binfmt_misc entry is registered here, turned off (the 32-bit tests
# turn it on while they run, see tests/wine/wow64-run.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  cmake ninja-build g++ file
  libgtest-dev googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 xvfb imagemagick fonts-dejavu-core
  clang libclang-rt-14-dev clang-format
  libhivex-dev libtsk-dev pkg-config nlohmann-json3-dev
  qemu-user-static wine32:i386
  ntfs-3g mtools dosfstools fdisk qemu-utils ewf-tools util-linux
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  "$here/binfmt-i386.sh" register
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
"$here/binfmt-i386.sh" register
