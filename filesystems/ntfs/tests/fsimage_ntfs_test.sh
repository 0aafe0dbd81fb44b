#!/bin/sh
# fsimage over NTFS volumes made by mkntfs and filled by ntfscp: "tree"
# lists what sleuthkit's fls -r lists, less the system files and named
# streams, with every file's size, on root directories of 0, 1 and 1,000
# entries (COUNTS="..." picks others for a quick run).
set -u
fsimage=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

. "$(dirname "$0")/../../tools/fsimage/check.sh"

for count in ${COUNTS:-0 1 1000}; do
  img=$dir/volume.img
  rm -f "$img" "$dir/sizes"
  truncate -s 48M "$img"
  mkntfs -F -f -q -s 512 -c 4096 "$img" >/dev/null 2>&1 || { check "mkntfs" made refused; continue; }
  i=0
  while [ $i -lt "$count" ]; do
    name="entry $i"
    [ $((i % 7)) -eq 3 ] && name="$name ünïcödé"
    [ $((i % 11)) -eq 5 ] && name="$name $(printf 'long%.0s' $(seq 1 30))"
    head -c $((i * 37 % 9000)) /dev/urandom > "$dir/source"
    ntfscp -q -f "$img" "$dir/source" "$name" >/dev/null 2>&1 || check "ntfscp $name" copied refused
    printf 'f\t%s\t/%s\n' $((i * 37 % 9000)) "$name" >> "$dir/sizes"
    i=$((i + 1))
  done
  # fls: "r/r 64-128-2:<TAB>name"; records below 16, the entries of system
  # directories ($Extend), named streams (name:stream) and sleuthkit's own
  # $OrphanFiles folder are not on the volume's tree.
  expected=$(fls -r -p "$img" 2>/dev/null |
    awk -F '\t' '{ split($1, f, /[ -]+/); if (f[2] + 0 < 16) next;
                   if ($2 ~ /^\$(Extend|OrphanFiles)(\/|$)/ || $2 ~ /:/) next; print "/" $2 }' | LC_ALL=C sort)
  got=$("$fsimage" --read-only "$img" tree | cut -f3 | LC_ALL=C sort)
  check "tree paths of $count entries" "$expected" "$got"
  [ "$count" -eq 0 ] && check "empty root" "" "$got"
  sizes=$(LC_ALL=C sort -t "$(printf '\t')" -k3,3 "$dir/sizes" 2>/dev/null)
  got=$("$fsimage" --read-only "$img" tree | LC_ALL=C sort -t "$(printf '\t')" -k3,3)
  check "tree sizes of $count entries" "$sizes" "$got"
done

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "fsimage NTFS listings agree with fls"
