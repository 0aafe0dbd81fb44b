#!/bin/sh
# fsimage over ext volumes filled by mke2fs -d: "tree" lists exactly the
# source folder (types, file and link sizes, paths) and "cat" of every file
# gives the source bytes, on each kind of volume mke2fs makes.
set -u
fsimage=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

. "$(dirname "$0")/../../tools/fsimage/check.sh"

src=$dir/source
mkdir -p "$src/docs/deep/deeper" "$src/many" "$src/empty dir" "$src/ünïcödé"
printf 'hello\n' > "$src/docs/a.txt"
: > "$src/docs/empty"
head -c 1000000 /dev/urandom > "$src/docs/deep/random.bin"
head -c 4096 /dev/urandom > "$src/docs/deep/deeper/block"
printf 'name with spaces\n' > "$src/empty dir/../spaced name"
printf 'wide\n' > "$src/ünïcödé/fïlé"
truncate -s 5000000 "$src/sparse"
printf 'middle' | dd of="$src/sparse" bs=1 seek=2500000 conv=notrunc 2>/dev/null
ln "$src/docs/a.txt" "$src/docs/hardlink"
ln -s "$(printf 'x%.0s' $(seq 1 59))" "$src/link59"
ln -s "$(printf 'y%.0s' $(seq 1 60))" "$src/link60"
ln -s docs/a.txt "$src/short"
i=0
while [ $i -lt 600 ]; do printf '%s' "$i" > "$src/many/file-number-$i"; i=$((i + 1)); done
printf 'hidden\n' > "$src/.hidden"

# What tree should print: type, size (0 for directories), path; hidden
# names left out as fsimage leaves them out; mke2fs adds lost+found.
expected=$(cd "$src" && { find . -mindepth 1 -not -path '*/.*' -printf '%y\t%s\t%P\n';
                         printf 'd\t0\tlost+found\n'; } |
  awk -F '\t' 'BEGIN { OFS = "\t" } { if ($1 == "d") $2 = 0; print $1, $2, "/" $3 }' |
  LC_ALL=C sort -t "$(printf '\t')" -k3,3)

for options in "-t ext2 -b 1024 -I 128" "-t ext2 -b 4096" "-t ext3 -j -b 2048" \
               "-t ext4 -O ^metadata_csum" "-t ext4 -b 1024 -O ^metadata_csum,^64bit,uninit_bg" \
               "-t ext4"; do
  img=$dir/volume.img
  rm -f "$img"
  if ! mke2fs -q -F -E nodiscard $options -d "$src" "$img" 32M 2>/dev/null; then
    check "mke2fs $options" "made" "refused"
    continue
  fi
  got=$("$fsimage" --read-only "$img" tree |
    awk -F '\t' 'BEGIN { OFS = "\t" } { if ($1 == "d") $2 = 0; print }' |
    LC_ALL=C sort -t "$(printf '\t')" -k3,3)
  check "tree ($options)" "$expected" "$got"
  # Every file but the many small ones, of which the first and last.
  { (cd "$src" && find . -type f -not -path '*/.*' -not -path './many/*' -printf '%P\n');
    printf 'many/file-number-0\nmany/file-number-599\n'; } | while IFS= read -r f; do
    if ! "$fsimage" --read-only "$img" cat "/$f" | cmp -s - "$src/$f"; then
      echo "FAIL cat /$f ($options)"
      echo x >> "$dir/catfail"
    fi
  done
  if [ -e "$dir/catfail" ]; then failures=$((failures + 1)); rm -f "$dir/catfail"; fi
done

# An ext image is recognised for what it is.
case $("$fsimage" --read-only "$img" info 2>&1) in
  *Ext4*) ;;
  *) check "info names the file system" "Ext4" "$("$fsimage" --read-only "$img" info 2>&1)" ;;
esac

[ $failures -eq 0 ] && echo "all fsimage ext checks passed"
exit $failures
