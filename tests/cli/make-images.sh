#!/usr/bin/env bash
# Real disk images of a known tree, made with the system's file system tools, for the image
# test; and an NTFS image of any folder, for the benchmark.
#
#   make-images.sh OUT_DIR HOST_BUILD
#       OUT_DIR/tree       the tree: specimens, near misses, clean files, a Windows folder with
#                          its SOFTWARE and SYSTEM hives (a Run value and a service launch svcx.exe)
#       OUT_DIR/fat-tree   the part of it that goes on the FAT file systems
#       ntfs.img fat12.img fat16.img   bare file systems
#       mbr.raw            MBR: p1 FAT12, p2 extended, p5 NTFS
#       gpt.raw            GPT: p1 NTFS, p2 FAT16
#       twice.raw          GPT: p1 and p2 NTFS, two Windows installations
#       mbr.vhdx mbr.vmdk mbr.vhd mbr.E01   mbr.raw converted
#       damaged/truncated.raw      the first half of mbr.raw
#       damaged/bad-table.raw      mbr.raw with its partition entries pointing past the end
#       damaged/bad-mft.img        ntfs.img with the file records after the system files overwritten
#       damaged/bad-fat.img        fat12.img with both allocation tables overwritten
#       damaged/unknown.bin        bytes of no known format
#   make-images.sh --ntfs FOLDER IMAGE
#       IMAGE: a bare NTFS file system holding a copy of FOLDER's files
#
# Needs root (the NTFS file systems are filled through an ntfs-3g FUSE mount), /dev/fuse and the
# tools below; without them it says what is missing and exits 77, the skip status of ctest.
set -euo pipefail

skip() {
  echo "make-images.sh: skipped: $*" >&2
  exit 77
}
[ "$(id -u)" = 0 ] || skip "not root (the NTFS file systems are filled through an ntfs-3g mount)"
[ -c /dev/fuse ] || skip "no /dev/fuse"
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is missing (tools/setup.sh installs it)"
  done
}
need mkntfs ntfs-3g mountpoint

mnt=""
ntfs_pid=""
# The mount is always taken down, also when a step fails: a mount left behind keeps the image's
# folder busy and ntfs-3g running.
unmount() {
  if [ -n "$mnt" ] && mountpoint -q "$mnt"; then
    umount "$mnt" || umount -l "$mnt"
  elif [ -n "$ntfs_pid" ]; then
    kill "$ntfs_pid" 2>/dev/null || true
  fi
  if [ -n "$ntfs_pid" ]; then wait "$ntfs_pid" || true; fi
  [ -z "$mnt" ] || rmdir "$mnt" 2>/dev/null || true
  mnt="" ntfs_pid=""
}
trap unmount EXIT

# An NTFS file system of SIZE bytes in IMAGE holding FOLDER's files. ntfs-3g stays in the
# foreground so that its end, after the last write to the image, can be waited for. Where FUSE
# mounts are not allowed (a container without the right), the images cannot be made: a skip.
ntfs_of() {  # FOLDER IMAGE SIZE
  rm -f "$2" && truncate -s "$3" "$2"
  # Forced, as the image is a plain file; what it says about that is of no interest.
  if ! mkntfs -F -Q -q -T -s 512 -p 0 -H 255 -S 63 -L VEXPURGE "$2" >"$2.log" 2>&1; then
    cat "$2.log" >&2
    return 1
  fi
  rm -f "$2.log"
  mnt=$(mktemp -d)
  ntfs-3g -o no_detach "$2" "$mnt" >/dev/null 2>"$mnt.log" &
  ntfs_pid=$!
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  if ! mountpoint -q "$mnt"; then
    cat "$mnt.log" >&2
    rm -f "$mnt.log"
    skip "ntfs-3g could not mount $2 (are FUSE mounts allowed here?)"
  fi
  rm -f "$mnt.log"
  cp -r "$1/." "$mnt/"
  unmount
}

if [ "${1:-}" = --ntfs ]; then
  [ $# = 3 ] && [ -d "$2" ] || { echo "usage: make-images.sh --ntfs FOLDER IMAGE" >&2; exit 2; }
  # Room for the files, their records and folders, and the system files.
  bytes=$(du -sb --apparent-size "$2" | cut -f1)
  count=$(find "$2" | wc -l)
  ntfs_of "$2" "$3" $((((bytes + count * 8192) * 5 / 4 / 1048576 + 64) * 1048576))
  exit 0
fi

[ $# = 2 ] || { echo "usage: make-images.sh OUT_DIR HOST_BUILD | --ntfs FOLDER IMAGE" >&2; exit 2; }
need mkfs.fat mcopy sfdisk qemu-img ewfacquire
out=$1
build=$(cd "$2" && pwd)
specimen="$build/tools/specimen/vexpurge-specimen"
make_hive="$build/tests/vexpurge-make-hive"
mkdir -p "$out"
cd "$out"
rm -rf tree fat-tree damaged ./*.img ./*.raw ./*.vhdx ./*.vmdk ./*.vhd ./*.E01
mkdir damaged

# --- the tree ---------------------------------------------------------------------------------
mkdir -p tree/sub/deeper "tree/with space" "tree/Caf$(printf '\303\251')" tree/Windows/System32/config
"$specimen" match 40 tree/a.exe >/dev/null
"$specimen" match 45 "tree/with space/b.dll" >/dev/null
"$specimen" match 90 tree/sub/deeper/c.exe >/dev/null
"$specimen" match 175 "tree/Caf$(printf '\303\251')/d.exe" >/dev/null
"$specimen" near-miss 58 first-byte tree/sub/near.exe >/dev/null
"$specimen" near-miss 40 longer tree/sub/longer.exe >/dev/null
printf 'hello\n' >tree/sub/readme.txt
head -c 300000 /dev/zero | tr '\0' 'v' >tree/sub/big.dat  # beyond one MFT record and one cluster
"$specimen" match 40 tree/Windows/System32/svcx.exe >/dev/null
printf 'a clean program' >tree/Windows/System32/sndvol32.exe
"$make_hive" tree/Windows/System32/config/SOFTWARE \
  'Microsoft\Windows\CurrentVersion\Run' svcx sz 'C:\Windows\System32\svcx.exe' \
  'Microsoft\Windows\CurrentVersion\Run' Sound sz 'C:\Windows\System32\sndvol32.exe /tray' \
  'Microsoft\Windows\CurrentVersion' ProgramFilesDir sz 'C:\Program Files'
"$make_hive" tree/Windows/System32/config/SYSTEM \
  'ControlSet001\Services\svcx' ImagePath expand_sz '%SystemRoot%\System32\svcx.exe' \
  'ControlSet001\Services\svcx' Start dword 2 \
  'ControlSet001\Services\Tcpip' ImagePath expand_sz 'System32\DRIVERS\tcpip.sys' \
  'Select' Current dword 1

mkdir -p fat-tree/sub "fat-tree/with space"
cp tree/a.exe tree/sub/near.exe tree/sub/readme.txt fat-tree/sub/
cp "tree/with space/b.dll" "fat-tree/with space/"
mv fat-tree/sub/a.exe "fat-tree/Long Name.exe"

# --- bare file systems ----------------------------------------------------------------------------
ntfs_of tree ntfs.img $((8 * 1048576))
fat_of() {  # IMAGE BITS KiB SECTORS_PER_CLUSTER
  mkfs.fat -C -F "$2" -s "$4" -i 56455850 --invariant -n VEXPURGE "$1" "$3" >/dev/null
  (cd fat-tree && MTOOLS_SKIP_CHECK=1 mcopy -i "../$1" -s -Q ./* ::/)
}
fat_of fat12.img 12 4096 4
fat_of fat16.img 16 8192 1

# --- partitioned disks: the file systems copied in at their partitions' offsets -------------------
place() {  # FILESYSTEM DISK START_SECTOR
  dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc status=none
}
truncate -s 15M mbr.raw
sfdisk -q mbr.raw <<'EOF'
label: dos
label-id: 0x56455850
start=2048, size=8192, type=1
start=10240, size=20480, type=5
start=12288, size=16384, type=7
EOF
place fat12.img mbr.raw 2048
place ntfs.img mbr.raw 12288

# A GPT disk of 18 MiB with FIRST and SECOND in its two partitions; its identifiers end in N,
# N + 1 and N + 2.
gpt_of() {  # DISK N FIRST SECOND
  truncate -s 18M "$1"
  sfdisk -q "$1" <<EOF
label: gpt
label-id: 56455850-0000-4000-8000-00000000000$2
start=2048, size=16384, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=56455850-0000-4000-8000-00000000000$(($2 + 1))
start=18432, size=16384, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=56455850-0000-4000-8000-00000000000$(($2 + 2))
EOF
  place "$3" "$1" 2048
  place "$4" "$1" 18432
}
gpt_of gpt.raw 1 ntfs.img fat16.img
gpt_of twice.raw 4 ntfs.img ntfs.img

# --- the containers -------------------------------------------------------------------------------
qemu-img convert -q -f raw -O vhdx -o block_size=1M mbr.raw mbr.vhdx
qemu-img convert -q -f raw -O vmdk mbr.raw mbr.vmdk
qemu-img convert -q -f raw -O vpc -o force_size=on mbr.raw mbr.vhd
ewfacquire -u -q -t mbr -f encase6 -c deflate:fast -b 64 -S 1.4GiB -m fixed -M physical \
  -C 1 -D "vexpurge image test" -e tests -E 1 -N none mbr.raw >/dev/null

# --- damaged images -------------------------------------------------------------------------------
head -c $(($(stat -c %s mbr.raw) / 2)) mbr.raw >damaged/truncated.raw
cp mbr.raw damaged/bad-table.raw
# Four entries, each starting and ending far past the end of the disk; the boot signature stays.
for slot in 0 1 2 3; do
  printf '\x80\xfe\xff\xff\x07\xfe\xff\xff\x00\xff\xff\xf0\xff\xff\xff\x0f' |
    dd of=damaged/bad-table.raw bs=1 seek=$((446 + 16 * slot)) conv=notrunc status=none
done
# The MFT's place from the boot sector; its first 24 records (the system files and the reserved
# ones) stay, the records of the tree's files and folders become text.
cp ntfs.img damaged/bad-mft.img
mft_cluster=$(od -An -tu8 -j48 -N8 ntfs.img | tr -d ' ')
cluster=$(($(od -An -tu2 -j11 -N2 ntfs.img) * $(od -An -tu1 -j13 -N1 ntfs.img)))
head -c $((200 * 1024)) < <(yes 'damaged file record') |
  dd of=damaged/bad-mft.img bs=1024 seek=$((mft_cluster * cluster / 1024 + 24)) conv=notrunc status=none
# Both allocation tables, found from the boot sector: after the reserved sectors, each as long as
# the sectors a table takes.
cp fat12.img damaged/bad-fat.img
reserved=$(od -An -tu2 -j14 -N2 fat12.img) tables=$(od -An -tu1 -j16 -N1 fat12.img)
table_sectors=$(od -An -tu2 -j22 -N2 fat12.img)
head -c $((tables * table_sectors * 512)) < <(yes 'broken chain') |
  dd of=damaged/bad-fat.img bs=512 seek=$((reserved)) conv=notrunc status=none
# Deterministic bytes that begin as no image or file system does.
head -c 1048576 < <(yes 'not a disk image') >damaged/unknown.bin
