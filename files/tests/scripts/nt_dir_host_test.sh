#!/usr/bin/env bash
# nt_dir_host_test.sh PREFIX PROGRAM
#
# Checks the NT directory's work from the host: a file copied, moved and
# hard-linked through the framework has the source's bytes and one inode for
# both names; writes at positions, size changes and a write past 4 GiB give
# the bytes that dd and truncate give on the host; a listing names what
# `ls -a` names, with the same kinds and sizes; byte-range locks conflict
# across handles as Windows has them (the host cannot see Wine's locks: the
# program reports each check, and the host confirms with the file's bytes
# what it reports of writes inside locked ranges); the tree removal takes
# the folder away and leaves its sibling, and does not go through a host
# symbolic link inside the tree.
# PREFIX is the tests' running Wine prefix.
set -euo pipefail
prefix=$(realpath -m "$1")
program=$2

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
fail() { echo "FAIL: $*" >&2; exit 1; }

name=purgekit-nt-host-$$
dir=$prefix/drive_c/$name
decoy=$prefix/drive_c/$name-decoy
win="C:\\$name"
work=$(mktemp -d)  # the host's expected files, outside the prefix
rm -rf "$dir" "$decoy"
trap 'rm -rf "$dir" "$decoy" "$work"' EXIT
mkdir -p "$dir" "$decoy"
echo keep >"$decoy/keep.txt"
head -c 100000 /dev/urandom >"$dir/source.bin"

wine "$program" build "$win" || fail "build step failed"
[ ! -e "$dir/a/b/data.bin" ] || fail "data.bin was not moved away"
cmp "$dir/source.bin" "$dir/a/moved.bin" || fail "moved.bin differs from the source"
cmp "$dir/source.bin" "$dir/a/link.bin" || fail "link.bin differs from the source"
ls -li "$dir/a"
moved=$(ls -i "$dir/a/moved.bin" | awk '{print $1}')
link=$(ls -i "$dir/a/link.bin" | awk '{print $1}')
[ "$moved" = "$link" ] || fail "moved.bin ($moved) and link.bin ($link) are not one file"
[ "$(stat -c %h "$dir/a/moved.bin")" = 2 ] || fail "the link count is not 2"

# Positioning. The host makes the expected file with the same writes.
put() {  # put FILE OFFSET TEXT
  printf '%s' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
head -c 8192 /dev/urandom >"$dir/pos.bin"
cp "$dir/pos.bin" "$work/pos.bin"
before=$(od -An -tx1 -j4096 -N16 "$dir/pos.bin" | tr -d ' \n')
read_back=$(wine "$program" position "$win" | tr -d '\r') || fail "position step failed"
[ "$read_back" = "$before" ] || fail "read at 4096 gave $read_back, the host reads $before"
put "$work/pos.bin" 1000 ALPHA
put "$work/pos.bin" 1015 BETA
put "$work/pos.bin" 8189 END
truncate -s 9000 "$work/pos.bin"
put "$work/pos.bin" 8990 TAIL
truncate -s 8992 "$work/pos.bin"
cmp "$work/pos.bin" "$dir/pos.bin" || fail "pos.bin differs from the host's writes"
# Past 4 GiB (both files sparse; cmp skips to just before the write).
far_at=$(( (1 << 32) + 5 ))
put "$work/far.bin" "$far_at" FAR
[ "$(stat -c %s "$dir/far.bin")" = "$(stat -c %s "$work/far.bin")" ] ||
  fail "far.bin is $(stat -c %s "$dir/far.bin") bytes, not $(stat -c %s "$work/far.bin")"
cmp -i $((far_at - 4096)) "$work/far.bin" "$dir/far.bin" || fail "far.bin differs past 4 GiB"
cmp -n 4096 "$work/far.bin" "$dir/far.bin" || fail "far.bin does not start with zeros"
[ "$(od -An -c -j "$far_at" -N3 "$dir/far.bin" | tr -d ' ')" = FAR ] || fail "no FAR at 4 GiB + 5"
rm -f "$dir/far.bin" "$work/far.bin"

# Listing: names beyond ASCII (one outside the 16-bit plane), a leading dot,
# blanks, a long name, folders, a host link, and enough entries to take
# several batches of the system's enumeration.
list=$dir/list
mkdir -p "$list/sub dir" "$list/empty"
for i in $(seq 1 300); do head -c "$i" /dev/zero >"$list/file-$i.txt"; done
for n in "é.txt" "Ωμέγα" "日本語.txt" "emoji-😀.txt" ".hidden" "with  two blanks" \
         "$(printf 'long%.0s' $(seq 1 60))"; do
  echo "$n" >"$list/$n"
done
: >"$list/zero"
ln -s ../.. "$list/uplink"
expected_listing() {
  local n
  (cd "$list" && LC_ALL=C ls -a) | while IFS= read -r n; do
    case "$n" in
      . | ..) ;;
      *)
        if [ -L "$list/$n" ]; then echo "l $n"
        elif [ -d "$list/$n" ]; then echo "d $n"
        else echo "f $(stat -c %s "$list/$n") $n"; fi ;;
    esac
  done | LC_ALL=C sort
}
expected_listing >"$work/listing.host"
LC_ALL=C.UTF-8 wine "$program" list "$win\\list" >"$work/listing.raw" || fail "list step failed"
LC_ALL=C sort "$work/listing.raw" >"$work/listing.framework"
[ "$(wc -l <"$work/listing.host")" -gt 300 ] || fail "the host listing is short"
diff "$work/listing.host" "$work/listing.framework" ||
  fail "the framework's listing differs from ls -a (left: host)"
# The listing is of the folder only: the link was not followed.
rm -rf "$list"

# Locks. Locks against locks are the system's to hold in any case; reads
# and writes of another handle inside a locked range are refused on Windows
# but let through by Wine 8 (measured), and the program reports which. The
# host then confirms the report: a write reported refused left every byte as
# it was, one reported done is there. Outside the locked ranges the program
# writes "OUTSIDE" at 200, and "AFTER" at 120 after the unlock.
head -c 4096 /dev/urandom >"$dir/lock.bin"
cp "$dir/lock.bin" "$work/lock.bin"
verdicts=$(wine "$program" lock "$win" | tr -d '\r') || { echo "$verdicts"; fail "lock step failed"; }
echo "$verdicts"
for check in exclusive-lock-taken exclusive-refuses-lock exclusive-leaves-read-before \
             exclusive-leaves-write-after exclusive-holder-reads unlocked unlocked-write \
             shared-lock-taken shared-allows-read shared-allows-shared shared-refuses-exclusive \
             unlock-of-a-foreign-range-fails closing-releases; do
  grep -qx "ok $check" <<<"$verdicts" || fail "lock check $check did not pass"
done
for check in exclusive-range-read exclusive-range-write shared-range-write; do
  grep -Eqx "(ok|unenforced) $check" <<<"$verdicts" || fail "lock check $check did not pass"
done
! grep -q '^FAIL' <<<"$verdicts" || fail "a lock check failed"
put "$work/lock.bin" 120 AFTER
put "$work/lock.bin" 200 OUTSIDE
! grep -qx "unenforced exclusive-range-write" <<<"$verdicts" || put "$work/lock.bin" 140 XXXXXXXXXXXXXXXXXXXX
! grep -qx "unenforced shared-range-write" <<<"$verdicts" || put "$work/lock.bin" 305 YY
cmp "$work/lock.bin" "$dir/lock.bin" || fail "lock.bin differs from what the program reported"

wine "$program" remove "$win" || fail "remove step failed"
[ ! -e "$dir" ] || fail "the folder survived its removal"
[ "$(cat "$decoy/keep.txt")" = keep ] || fail "the sibling folder was touched"

# Host symbolic links inside the tree, one relative and one absolute, to a
# folder outside it. Wine 8 cannot make junctions, but it shows a host link
# to a folder as a reparse point (without a tag); the removal must not enter
# it, so the folder it leads to keeps its file. (Wine's RemoveDirectoryW on
# such a link takes the link's target when that is empty, not the link, so
# the links themselves and the folders above them stay.)
mkdir -p "$dir/tree/sub"
echo gone >"$dir/tree/sub/plain.txt"
ln -s ../../$name-decoy "$dir/tree/link"
ln -s "$decoy" "$dir/tree/sub/abslink"
wine "$program" remove "$win\\tree" || true  # the links stay under Wine (above)
[ "$(cat "$decoy/keep.txt")" = keep ] || fail "the removal went through a link into the folder it leads to"
[ ! -e "$dir/tree/sub/plain.txt" ] || fail "a plain file beside the link survived"
echo "PASS"
