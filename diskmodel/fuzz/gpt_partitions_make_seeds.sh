#!/usr/bin/env bash
# Makes the seeds of gpt_partitions_fuzz (gpt_partitions_fuzz.seeds/) from
# tables the real tools write: sgdisk on 512-byte sectors, fdisk on
# 4096-byte ones, a copy of the first with its primary header damaged, and a
# blank disk. Each seed is the input the target reads: the disk size, the
# area of the protective MBR entry, one edit, and the disk's non-zero
# 512-byte pieces. Run it again, and commit the result, when the input
# format changes.
#
# Needs: sgdisk (gdisk), fdisk, truncate, python3.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/gpt_partitions_fuzz.seeds
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C

truncate -s 8M "$work/sgdisk512.img"
sgdisk -U 0FC1A2B3-C4D5-4E6F-8071-8293A4B5C6D7 \
  -n 1:2048:4095 -t 1:ef00 -A 1:set:0 -u 1:5EED0001-0000-4000-8000-000000000001 \
  -n 2:4096:8191 -t 2:0700 -c 2:"data" -u 2:5EED0001-0000-4000-8000-000000000002 \
  -n 5:12288:14335 -t 5:8300 -u 5:5EED0001-0000-4000-8000-000000000005 \
  "$work/sgdisk512.img" > /dev/null
sgdisk -v "$work/sgdisk512.img" | grep "No problems found" > /dev/null

truncate -s 16M "$work/fdisk4k.img"
printf '%s\n' g n 1 256 1279 n 3 2048 2559 t 1 C12A7328-F81F-11D2-BA4B-00A0C93EC93B \
  x i 5EED0002-0000-4000-8000-000000000000 u 1 5EED0002-0000-4000-8000-000000000001 \
  u 3 5EED0002-0000-4000-8000-000000000003 r w |
  fdisk -b 4096 "$work/fdisk4k.img" > /dev/null
printf 'v\nq\n' | fdisk -b 4096 "$work/fdisk4k.img" | grep "No errors detected" > /dev/null

truncate -s 1M "$work/blank.img"

python3 - "$work" "$out" <<'PY'
import os
import struct
import sys

work, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)


def seed(name, image, sector, edit, damage=None, area=None):
    data = bytearray(open(os.path.join(work, image), "rb").read())
    if damage is not None:
        data[damage] ^= 0x5A
    if area is None:
        first, count = struct.unpack_from("<II", data, 446 + 8)
    else:
        first, count = area
    head = bytes([1 if sector == 4096 else 0])
    head += struct.pack("<III", len(data) // sector - 1, first, count)
    head += bytes([edit[0]]) + struct.pack("<II", edit[1], edit[2]) + bytes([edit[3]])
    assert len(head) == 23
    body = b""
    for i in range(0, len(data), 512):
        piece = bytes(data[i:i + 512])
        if any(piece):
            body += struct.pack("<I", i // 512) + piece
    open(os.path.join(out, name), "wb").write(head + body)


# edits: 1 create (start, size), 2 move (start, size), 3 delete, 4 rename
seed("sgdisk512", "sgdisk512.img", 512, (1, 9216, 2048, 5))
seed("sgdisk512_primary_damaged", "sgdisk512.img", 512, (2, 9216, 1024, 1), damage=512 + 40)
seed("fdisk4k", "fdisk4k.img", 4096, (3, 0, 0, 1))
seed("blank", "blank.img", 512, (1, 100, 50, 3), area=(1, 0xFFFFFFFF))
PY
