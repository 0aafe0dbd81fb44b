#!/usr/bin/env bash
# nt_dir_host_test.sh PREFIX PROGRAM
#
# Checks the NT directory's work from the host: a file copied, moved and
# hard-linked through the framework has the source's bytes and one inode for
# both names; the tree removal takes the folder away and leaves its sibling,
# and does not go through a host symbolic link inside the tree.
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
rm -rf "$dir" "$decoy"
trap 'rm -rf "$dir" "$decoy"' EXIT
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
