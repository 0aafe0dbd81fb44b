#!/bin/sh
# Name changes through fsimage on NTFS volumes made by mkntfs, judged by
# other tools only: files put, truncated and overwritten read back through
# icat and ntfscat; new subdirectories and hard links are what fls -r,
# ntfsls and istat list (names, sizes, link counts); ntfsfix -n and
# ntfsresize --check accept the volume after every step; deleting
# everything gives the cluster and record bitmaps back as mkntfs left them.
# A directory of LARGE entries (default 3000) is filled and emptied in one
# batch each.
set -u
fsimage=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

. "$(dirname "$0")/../../tools/fsimage/check.sh"

judge() {  # judge IMAGE WHEN
  ntfsfix -n "$1" >/dev/null 2>&1 || check "ntfsfix -n after $2" accepted refused
  cp "$1" "$dir/copy.img"
  ntfsresize --check -f "$dir/copy.img" >/dev/null 2>&1 ||
    check "ntfsresize --check after $2" accepted refused
}

sector=512
run() {  # run IMAGE COMMAND... (standard input passed on)
  "$fsimage" --sector-size "$sector" "$@" || check "fsimage $*" 0 "$?"
}

record_of() { ifind -n "$2" "$1" 2>/dev/null; }

# Clusters in use less the $MFT's own clusters (the $MFT grows and never
# shrinks), and records in use, from the bitmaps as icat reads them.
ones() { od -An -v -tu1 | tr -s ' ' '\n' | awk 'NF { n = $1; while (n) { c += n % 2; n = int(n / 2) } } END { print c + 0 }'; }
bitmaps() {  # bitmaps IMAGE CLUSTER
  clusters=$(icat "$1" 6 | ones)
  mft=$(istat "$1" 0 2>/dev/null | sed -n 's/.*\$DATA (128-[0-9]*).*Non-Resident.*size: \([0-9]*\).*/\1/p' | head -1)
  echo "clusters $((clusters - mft / $2)) records $(icat "$1" 0-176 2>/dev/null | ones)"
}

# Names as fls lists them, less system files and sleuthkit's own folder.
tree_of() {
  fls -r -p "$1" 2>/dev/null |
    awk -F '\t' '{ split($1, f, /[ -]+/); if (f[2] + 0 < 16) next;
                   if ($2 ~ /^\$(Extend|OrphanFiles)(\/|$)/ || $2 ~ /:/) next;
                   print substr(f[1], 1, 1) "\t/" $2 }' | LC_ALL=C sort
}

for geometry in "512 4096" "4096 4096" "512 512" "512 65536"; do
  set -- $geometry
  sector=$1
  img=$dir/volume.img
  rm -f "$img"
  truncate -s 64M "$img"
  mkntfs -F -f -q -s "$1" -c "$2" "$img" >/dev/null 2>&1 || { check "mkntfs $geometry" made refused; continue; }
  baseline=$(bitmaps "$img" "$2")

  head -c 300001 /dev/urandom > "$dir/big"
  head -c 700 /dev/urandom > "$dir/small"
  : > "$dir/empty"
  run "$img" put /big < "$dir/big"
  run "$img" put /small < "$dir/small"
  run "$img" put /empty < "$dir/empty"
  run "$img" mkdir /sub
  run "$img" mkdir /sub/deeper
  run "$img" put "/sub/deeper/ünï file" < "$dir/small"
  run "$img" ln /big /sub/link
  judge "$img" "creation ($geometry)"

  expected=$(printf 'd\t/sub\nd\t/sub/deeper\nr\t/big\nr\t/empty\nr\t/small\nr\t/sub/deeper/ünï file\nr\t/sub/link\n' | LC_ALL=C sort)
  check "fls of new entries ($geometry)" "$expected" "$(tree_of "$img")"
  check "icat big ($geometry)" "$(md5sum < "$dir/big")" "$(icat "$img" "$(record_of "$img" /big)" | md5sum)"
  check "ntfscat link ($geometry)" "$(md5sum < "$dir/big")" "$(ntfscat "$img" /sub/link 2>/dev/null | md5sum)"
  check "ntfscat deep ($geometry)" "$(md5sum < "$dir/small")" "$(ntfscat "$img" "/sub/deeper/ünï file" 2>/dev/null | md5sum)"
  check "hard link shares the record ($geometry)" "$(record_of "$img" /big)" "$(record_of "$img" /sub/link)"
  links=$(istat "$img" "$(record_of "$img" /big)" 2>/dev/null | sed -n 's/^Links: //p')
  check "istat link count ($geometry)" 2 "$links"
  names=$(istat "$img" "$(record_of "$img" /big)" 2>/dev/null | grep -c '^\$FILE_NAME')
  check "two \$FILE_NAME attributes ($geometry)" 2 "$names"
  check "ntfsls of sub ($geometry)" "$(printf 'deeper\nlink')" "$(ntfsls "$img" -p /sub 2>/dev/null | grep -v '^\.' | LC_ALL=C sort)"
  # Sizes as the index entries keep them, refreshed when the file closed.
  size=$(ntfsls -l "$img" -p / 2>/dev/null | awk '$NF == "big" { print $1 }')
  check "ntfsls size of big ($geometry)" 300001 "$size"
  check "fsimage tree size ($geometry)" "300001" "$("$fsimage" --sector-size "$sector" --read-only "$img" tree | awk -F '\t' '$3 == "/big" { print $2 }')"

  # Truncation and overwrite through the files opened by name.
  run "$img" truncate /big 5000
  head -c 5000 "$dir/big" > "$dir/big5000"
  check "icat after truncate ($geometry)" "$(md5sum < "$dir/big5000")" "$(icat "$img" "$(record_of "$img" /sub/link)" | md5sum)"
  head -c 9000 /dev/urandom > "$dir/over"
  run "$img" put /small < "$dir/over"
  check "icat after overwrite ($geometry)" "$(md5sum < "$dir/over")" "$(icat "$img" "$(record_of "$img" /small)" | md5sum)"
  judge "$img" "truncate and overwrite ($geometry)"

  # Refusals leave everything in place.
  "$fsimage" --sector-size "$sector" "$img" rmdir /sub >/dev/null 2>&1 && check "rmdir of a full directory ($geometry)" refused done
  "$fsimage" --sector-size "$sector" "$img" rm /sub >/dev/null 2>&1 && check "rm of a directory ($geometry)" refused done
  "$fsimage" --sector-size "$sector" "$img" mkdir /big >/dev/null 2>&1 && check "mkdir over a file ($geometry)" refused done

  # One link goes, the file stays under the other.
  run "$img" rm /big
  check "link count after rm ($geometry)" 1 "$(istat "$img" "$(record_of "$img" /sub/link)" 2>/dev/null | sed -n 's/^Links: //p')"
  check "data kept by the other link ($geometry)" "$(md5sum < "$dir/big5000")" "$(ntfscat "$img" /sub/link 2>/dev/null | md5sum)"
  run "$img" rm /sub/link
  run "$img" rm "/sub/deeper/ünï file"
  run "$img" rmdir /sub/deeper
  run "$img" rmdir /sub
  run "$img" rm /small
  run "$img" rm /empty
  check "empty tree ($geometry)" "" "$(tree_of "$img")"
  check "bitmaps back to mkntfs's ($geometry)" "$baseline" "$(bitmaps "$img" "$2")"
  judge "$img" "deletion ($geometry)"
done

# A large directory: filled in one batch, listed, emptied, removed.
large=${LARGE:-3000}
sector=512
img=$dir/volume.img
rm -f "$img"
truncate -s 256M "$img"
mkntfs -F -f -q -s 512 -c 4096 "$img" >/dev/null 2>&1
baseline=$(bitmaps "$img" 4096)
run "$img" mkdir /many
i=0
while [ $i -lt "$large" ]; do
  printf 'put\t/many/entry %d\t%d\t%d\n' $i $((i * 37 % 3000)) $i
  i=$((i + 1))
done > "$dir/fill"
"$fsimage" "$img" batch < "$dir/fill" | sort | uniq -c | awk '$2 != "0x0"' > "$dir/errors"
check "large fill without errors" "" "$(cat "$dir/errors")"
judge "$img" "large fill"
count=$(fls -p "$img" "$(record_of "$img" /many)" 2>/dev/null | wc -l)
check "fls count of the large directory" "$large" "$count"
sizes=$(awk -F '\t' '{ print $2 "\t" $3 }' "$dir/fill" | LC_ALL=C sort | md5sum)
got=$("$fsimage" --read-only "$img" tree /many | awk -F '\t' '{ print $3 "\t" $2 }' | LC_ALL=C sort | md5sum)
check "fsimage tree of the large directory" "$sizes" "$got"
sed 's/^put\t\([^\t]*\)\t.*/rm\t\1/' "$dir/fill" > "$dir/empty"
"$fsimage" "$img" batch < "$dir/empty" | sort | uniq -c | awk '$2 != "0x0"' > "$dir/errors"
check "large delete without errors" "" "$(cat "$dir/errors")"
run "$img" rmdir /many
check "bitmaps after the large directory" "$baseline" "$(bitmaps "$img" 4096)"
judge "$img" "large delete"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "fsimage NTFS changes agree with the tools"
