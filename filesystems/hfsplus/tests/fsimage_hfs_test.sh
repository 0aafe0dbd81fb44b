#!/bin/sh
# fsimage over HFS+ volumes made by mkfs.hfsplus and filled by the
# populating tool: "info" gives the sizes fsstat gives, "tree" lists what
# fls lists, "mkdir", "rm" and "rmdir" change the catalog as fls then sees
# it, the volume stays clean for fsck.hfsplus, and each later run mounts it
# writable again (cleanly unmounted).
set -u
fsimage=$1
populate=$(dirname "$0")/../testsupport/hfs_populate.py
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

. "$(dirname "$0")/../../tools/fsimage/check.sh"

# fls -r -p as "type<TAB>/path", volume entries only (ids from 16).
fls_tree() {
  fls -r -p "$1" | awk -F '\t' '{ split($1, a, /[ :]/); if (a[2] + 0 >= 16) print (substr(a[1], 1, 1) == "d" ? "d" : "f") "\t/" $2 }' | sort
}
# fsimage tree as "type<TAB>path".
our_tree() {
  "$fsimage" "$1" tree | awk -F '\t' '{ print $1 "\t" $3 }' | sort
}

img=$dir/v.img
truncate -s 32M "$img"
mkfs.hfsplus -v Fixture "$img" > /dev/null
cat > "$dir/contents" <<'LIST'
dir docs
file readme.txt 1000
file Docs2.bin 20000 rsrc=3000
file docs/big.dat 100000 fragments=11
dir docs/sub
file docs/sub/Note.TXT 5000 xattr=user.tag:hello
LIST
python3 "$populate" "$img" "$dir/contents" > /dev/null || { echo "FAIL populate"; exit 1; }

info=$("$fsimage" "$img" info)
check label "Fixture" "$(printf '%s\n' "$info" | awk -F '\t' '$1 == "label" { print $2 }')"
check "file system" "HFS+" "$(printf '%s\n' "$info" | awk -F '\t' '$1 == "file system" { print $2 }')"
stat=$(fsstat "$img")
block=$(printf '%s\n' "$stat" | sed -n 's/^Allocation Block Size: //p')
last=$(printf '%s\n' "$stat" | sed -n 's/^Block Range: 0 - //p')
free=$(printf '%s\n' "$stat" | sed -n 's/^Number of Free Blocks: //p')
check "total bytes" "$(( (last + 1) * block ))" "$(printf '%s\n' "$info" | awk -F '\t' '$1 == "total bytes" { print $2 }')"
check "free bytes" "$(( free * block ))" "$(printf '%s\n' "$info" | awk -F '\t' '$1 == "free bytes" { print $2 }')"
check "tree" "$(fls_tree "$img")" "$(our_tree "$img")"
check "file sizes" "$(printf 'f\t20000\t/Docs2.bin\nf\t100000\t/docs/big.dat')" \
  "$("$fsimage" "$img" tree | grep -E 'Docs2|big' | sort -k3)"

"$fsimage" "$img" mkdir /docs/new || failures=$((failures + 1))
"$fsimage" "$img" mkdir "/Ünïcode folder" || failures=$((failures + 1))
"$fsimage" "$img" rm /docs/big.dat || failures=$((failures + 1))
"$fsimage" "$img" rm /docs/sub/Note.TXT || failures=$((failures + 1))
"$fsimage" "$img" rmdir /docs/sub || failures=$((failures + 1))
if "$fsimage" "$img" rmdir /docs 2> /dev/null; then
  echo "FAIL a folder with entries was removed"; failures=$((failures + 1))
fi
check "tree after changes" "$(fls_tree "$img")" "$(our_tree "$img")"
check "entries after changes" \
  "$(printf 'd\t/docs\nd\t/docs/new\nd\t/Ünïcode folder\nf\t/Docs2.bin\nf\t/readme.txt' | sort)" \
  "$(our_tree "$img")"
fsck.hfsplus -f -n "$img" > "$dir/fsck" 2>&1 || { cat "$dir/fsck"; failures=$((failures + 1)); }
stat=$(fsstat "$img")
free=$(printf '%s\n' "$stat" | sed -n 's/^Number of Free Blocks: //p')
check "free bytes after changes" "$(( free * block ))" \
  "$("$fsimage" "$img" info | awk -F '\t' '$1 == "free bytes" { print $2 }')"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all fsimage HFS+ checks passed"
