#!/bin/sh
# check_payload.sh UNZIP PACKED_EXE DAT FILE...: both archives pass unzip -t
# with no warning, and each FILE comes back byte for byte under its name.
set -eu
unzip=$1 packed=$2 dat=$3
shift 3
status=0
for archive in "$packed" "$dat"; do
  if ! "$unzip" -tq "$archive"; then
    echo "unzip -t failed or warned on $archive" >&2
    status=1
  fi
  for file in "$@"; do
    if ! "$unzip" -p "$archive" "$(basename "$file")" | cmp -s - "$file"; then
      echo "$(basename "$file") in $archive differs from $file" >&2
      status=1
    fi
  done
done
exit $status
