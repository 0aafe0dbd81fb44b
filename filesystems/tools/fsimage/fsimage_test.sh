#!/bin/sh
# fsimage's commands over the in-memory test driver, put behind the factory
# with --fake-fs: what tree, cat, put, mv, rm and a failing command do to an
# image and print.
set -u
fsimage=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
img=$dir/volume.img
failures=0

. "$(dirname "$0")/check.sh"

truncate -s 1M "$img"
fs() { "$fsimage" --fake-fs "$img" "$@"; }

# A blank image is not a file system.
out=$(fs tree 2>&1); rc=$?
check "blank image refused" "1" "$rc"
case $out in *"no file system"*) ;; *) check "blank image message" "no file system..." "$out" ;; esac

fs mkfake
fs mkdir /docs
printf 'hello\n' | fs put /docs/a.txt
printf 'x%.0s' $(seq 1 70000) | fs put /big.bin
fs mkdir /docs/old
fs symlink ../big.bin /docs/link

check "tree after put" "$(printf 'f\t70000\t/big.bin\nd\t0\t/docs\nf\t6\t/docs/a.txt\nl\t0\t/docs/link\nd\t0\t/docs/old')" "$(fs tree)"
check "cat" "hello" "$(fs cat /docs/a.txt)"
check "cat big" "70000" "$(fs cat /big.bin | wc -c | tr -d ' ')"

fs mv /docs/a.txt /docs/old/b.txt
check "tree after mv" "$(printf 'f\t6\t/docs/old/b.txt')" "$(fs tree /docs/old)"
check "cat after mv" "hello" "$(fs cat /docs/old/b.txt)"

fs rm /docs/old/b.txt
check "tree after rm" "" "$(fs tree /docs/old)"

# put replaces an existing file.
printf 'new' | fs put /big.bin
check "put replaces" "new" "$(fs cat /big.bin)"

# A failing command exits non-zero with the error's text and code.
err=$(fs cat /docs/missing.txt 2>&1 >/dev/null); rc=$?
check "missing file exit" "1" "$rc"
case $err in *"does not exist"*"(0x40011)"*) ;; *) check "missing file message" "...does not exist...(0x40011)" "$err" ;; esac
err=$(fs rmdir /docs 2>&1); rc=$?
check "non-empty rmdir exit" "1" "$rc"
case $err in *"(0x40008)"*) ;; *) check "rmdir message" "...(0x40008)" "$err" ;; esac

# --read-only never writes a byte.
before=$(md5sum < "$img")
printf 'zzz' | "$fsimage" --fake-fs --read-only "$img" put /ro.txt 2>/dev/null
rc=$?
check "read-only put fails" "1" "$rc"
check "read-only image unchanged" "$before" "$(md5sum < "$img")"

# backup and restore round trip.
fs backup /big.bin > "$dir/backup"
fs restore /docs/copy.bin < "$dir/backup"
check "restore" "new" "$(fs cat /docs/copy.bin)"

# --offset and --partition: the same file system inside a partitioned disk.
disk=$dir/disk.img
truncate -s 4M "$disk"
printf 'label: dos\nstart=2048, size=4096, type=83\n' | sfdisk -q "$disk" >/dev/null
"$fsimage" --fake-fs --offset $((2048 * 512)) "$disk" mkfake
printf 'inside' | "$fsimage" --fake-fs --partition 1 "$disk" put /p.txt
check "partition" "inside" "$("$fsimage" --fake-fs --offset 1048576 "$disk" cat /p.txt)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all fsimage checks passed"
