#!/usr/bin/env bash
# boot_standin.sh DIR: lays out what the snapshot-library stand-in serves in
# the prefix in WINEPREFIX: three small disk images made by sfdisk and sgdisk
# in DIR, its configuration (DIR/config.txt, with the call log DIR/calls.log),
# and a drive S: mapped to DIR. The caller puts dorvex.dll beside the program
# and exports PURGEKIT_SBLIB_CONFIG='S:\config.txt'.
set -euo pipefail
: "${WINEPREFIX:?the prefix}"
dir=$(realpath -m "$1")
mkdir -p "$dir"
rm -f "$dir"/disk*.img "$dir/calls.log"
truncate -s 8M "$dir/disk1.img"
printf 'label: dos\n2048,4096,7\n6144,8192,c\n' | sfdisk -q "$dir/disk1.img" >/dev/null
truncate -s 4M "$dir/disk2.img"
sgdisk -n 1:2048:6143 -t 1:0700 "$dir/disk2.img" >/dev/null
truncate -s 2M "$dir/disk3.img"
printf 'label: dos\n2048,2048,83\n' | sfdisk -q "$dir/disk3.img" >/dev/null
cat >"$dir/config.txt" <<'EOF'
log S:\calls.log
used C
drive S:\disk1.img model="Image One" serial=SB-0001 bios=0x80
drive S:\disk2.img model="Image Two" serial=SB-0002
drive S:\disk3.img model="Image Three"
volume 1:2048+4096 letter=D
volume 1:6144+8192 letter=E
volume 2:2048+4096 letter=F
volume 3:2048+2048 skip
EOF
ln -sfn "$dir" "$WINEPREFIX/dosdevices/s:"
