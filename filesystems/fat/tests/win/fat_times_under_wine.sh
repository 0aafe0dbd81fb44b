#!/usr/bin/env bash
# fat_times_under_wine.sh WINE_EXEC PREFIX TEST_PROGRAM
# FAT times are local times, and under Windows the zone is the system's.
# For UTC and for a zone with summer time: make a FAT16 image with mkfs.fat
# inside the prefix's drive c:, start the FAT tests in that zone (Wine takes
# the system's zone from the host's TZ) so that they convert times and set
# three files' times through the driver, then read the times back with
# istat and mdir in the same zone.
set -uo pipefail
wine_exec=$1 prefix=$2 program=$3
folder=purgekit-fat-times
dir=$prefix/drive_c/$folder
mkdir -p "$dir"
failures=0
fail() { echo "FAIL [$zone]: $*"; failures=$((failures + 1)); }

expect_line() {  # expect_line TEXT PATTERN WHAT
  if ! grep -qF -- "$2" <<<"$1"; then
    fail "$3: '$2' not found in:"
    echo "$1"
  fi
}

for zone in UTC Europe/Berlin; do
  name=$(tr / _ <<<"$zone").img
  image=$dir/$name
  rm -f "$image"
  if ! mkfs.fat -C -F 16 -S 512 -s 4 -f 2 -n TIMES "$image" 20480 >/dev/null; then
    fail "mkfs.fat"
    continue
  fi
  out=$(TZ=$zone PURGEKIT_FAT_TIME_ZONE=$zone PURGEKIT_FAT_TIME_IMAGE="C:\\$folder\\$name" \
        "$wine_exec" --prefix "$prefix" "$program" --gtest_filter='FatTimeWin.*' 2>&1)
  status=$?
  echo "$out" | grep -E '^\[ *(OK|FAILED|SKIPPED|PASSED) *\]|Failure|Expected|Which is|value of' || true
  [ $status -eq 0 ] || fail "the tests under Wine ended with $status"
  [ "$(grep -c '^\[       OK \] FatTimeWin\.' <<<"$out")" = 3 ] || fail "not all three ran"

  fsck=$(fsck.fat -n "$image" 2>&1) || { fail "fsck.fat"; echo "$fsck"; }
  inode() { fls "$image" 2>/dev/null | sed -n "s/^r\/r \([0-9]*\):[[:space:]]*$1\$/\1/p"; }
  summer=$(TZ=$zone istat "$image" "$(inode summer.txt)" 2>&1)
  first=$(TZ=$zone istat "$image" "$(inode first.txt)" 2>&1)
  last=$(mdir -i "$image" ::/LAST.TXT 2>&1)
  if [ "$zone" = UTC ]; then
    expect_line "$summer" $'Written:\t2021-07-15 10:20:30 (UTC)' "summer.txt written"
    expect_line "$summer" $'Created:\t2020-12-24 18:00:01 (UTC)' "summer.txt created"
    expect_line "$last" "2107-12-31  20:00" "last.txt written"
  else
    expect_line "$summer" $'Written:\t2021-07-15 12:20:30 (CEST)' "summer.txt written"
    expect_line "$summer" $'Created:\t2020-12-24 19:00:01 (CET)' "summer.txt created"
    expect_line "$last" "2107-12-31  21:00" "last.txt written"
  fi
  # The first instant of 1980 in local time is stored; a creation time
  # before 1980 leaves the field as it was.
  expect_line "$first" $'Written:\t1980-01-01 00:00:00' "first.txt written"
  if grep -qF $'Created:\t1979' <<<"$first"; then fail "first.txt created before 1980"; fi
done
rm -rf "$dir"
echo "$failures failure(s)"
[ $failures -eq 0 ]
