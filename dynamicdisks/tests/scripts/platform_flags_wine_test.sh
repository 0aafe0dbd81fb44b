#!/usr/bin/env bash
# platform_flags_wine_test.sh WINE_PREFIX_TOOL PREFIX PROBE
#
# The dynamic-disk code's view of the Windows it runs on, read from a real
# (Wine) system. PREFIX is a 64-bit prefix of this test's own, made with
# WINE_PREFIX_TOOL (a copy of the prepared one), so the 32-bit probe runs
# under WOW64. The probe (PROBE, ldm_platform_probe) is copied into the
# prefix's own C: drive, the only drive it has, and run from there. For
# every row of the table Wine's reported version is set in the prefix's
# registry, Wine's own tool says what the system now is (cmd /c ver), and
# the probe prints what GetVersionExA tells it, the platform, the version
# record and the client-platform flags.
set -euo pipefail
prefix_tool=$1
prefix=$(realpath -m "$2")
probe=$(realpath "$3")

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 WINEPREFIX=$prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

# Worked out by hand from the rules for a 32-bit program on 64-bit Windows:
#   os code: 1 for 5.1 and earlier, 2 for 5.2, 3 for 6.0, 4 for later ones
#     (a program without a compatibility manifest is told 6.2 by Windows 10,
#     and by Wine set to it);
#   flags: os code 1 gives 0x2D; os code 2 gives 0x2E on a server of 5.2
#     (product type 2 or 3 makes product kind 1), 0x2D otherwise; os codes 3
#     and 4 give 0xEC, plus 0x1 for a workstation without the personal suite
#     (product type 1, suite bit 0x200 clear: product kind 2). A server of
#     6.x has product kind 0 and keeps 0xEC.
# Wine reports a server for win2003 and, as it happens, for win7; the
# product type is part of the row, read by the probe's own GetVersionExA
# call, so that a Wine that answers otherwise fails loudly instead of
# moving the expected flags.
# Columns: Wine's Version value; the version cmd /c ver reports; the version
# and product type GetVersionExA gives the probe; os code; flags.
table="
winxp    5.1   5.1  1  1  0x2d
win2003  5.2   5.2  3  2  0x2e
win7     6.1   6.1  3  4  0xec
win10    10.0  6.2  1  4  0xed
"

"$prefix_tool" "$prefix" --start
trap '"$prefix_tool" "$prefix" --stop || true' EXIT

# The first data line of a wmic query (its output is UTF-16).
wmic_value() {
  wine wmic os get "$1" </dev/null 2>/dev/null | iconv -f UTF-16LE -t UTF-8 | tr -d '\r\357\273\277' |
    awk 'NR > 1 && NF { print $1; exit }'
}

failures=0
check() {  # what, got, expected
  if [ "$2" != "$3" ]; then
    echo "  MISMATCH $1: got '$2', expected '$3'"
    failures=$((failures + 1))
  fi
}

cp "$probe" "$WINEPREFIX/drive_c/ldm_platform_probe.exe"
cd "$WINEPREFIX/drive_c"
check "wmic OSArchitecture" "$(wmic_value OSArchitecture)" 64-bit
# Standard input is the table: Wine is given /dev/null instead.
while read -r name reported seen product os_code flags; do
  [ -n "$name" ] || continue
  wine reg add 'HKCU\Software\Wine' /v Version /d "$name" /f </dev/null >/dev/null 2>&1 ||
    fail "reg add of Version $name failed"
  # The system as Wine's own tools see it: the setting must have taken.
  ver=$(wine cmd /c ver </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^Microsoft Windows \([0-9.]*\)$/\1/p')
  out=$(wine 'C:\ldm_platform_probe.exe' </dev/null 2>/dev/null | tr -d '\r') || {
    echo "$out"
    fail "$name: the probe ended with an error"
  }
  echo "$name: ver $ver"
  while IFS= read -r line; do echo "  probe: $line"; done <<<"$out"
  check "$name cmd /c ver" "${ver%.*}" "$reported"
  windows=$(echo "$out" | sed -n 's/^windows //p')
  check "$name version seen" "${windows%% *}" "$seen"
  check "$name product type" "$(echo "$windows" | sed -n 's/.* type=\([0-9]*\).*/\1/p')" "$product"
  suite=$(echo "$windows" | sed -n 's/.* suite=\(0x[0-9a-f]*\).*/\1/p')
  check "$name suite bit 0x200" "$(( ${suite:-0x200} & 0x200 ))" 0
  check "$name platform" "$(echo "$out" | sed -n 's/^platform //p')" amd64
  check "$name os code" "$(echo "$out" | sed -n 's/^os code=\([0-9]*\).*/\1/p')" "$os_code"
  check "$name flags" "$(echo "$out" | sed -n 's/^flags //p')" "$flags"
done <<<"$table"
cd /

[ "$failures" = 0 ] || fail "$failures mismatches"
echo PASS
