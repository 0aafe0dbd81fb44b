#!/usr/bin/env bash
# os_version_wine_test.sh WINE_PREFIX_TOOL PREFIX_BASE PROBE
#
# The disk layer's view of the Windows version, read by its own version
# source from a real (Wine) system. Two prefixes of this test's own:
# PREFIX_BASE-x64, a 64-bit prefix made with WINE_PREFIX_TOOL, where the
# 32-bit program runs under WOW64 and the native processor is x64; and
# PREFIX_BASE-x86, a 32-bit prefix made here, where it is x86. In each, for
# every row of the table below, Wine's reported version is set in the
# prefix's registry, Wine's own tools say what the system now is (cmd /c ver
# for the version, wmic for the service pack and the architecture), and the
# probe (PROBE, da_os_version_probe) prints what the layer read, the kind of
# system its first DaInit recorded and the local computer's capability
# flags. One wineserver runs per prefix.
set -euo pipefail
prefix_tool=$1
base=$(realpath -m "$2")
probe=$(realpath "$3")

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset PURGEKIT_SBLIB_CONFIG  # the stand-in library without drives, mode word 0
fail() { echo "FAIL: $*" >&2; exit 1; }

# What the layer must make of each system, worked out by hand from the rules:
#   NT family: the platform is not 1 (Windows 9x).
#   recent: on 9x the build number's low 16 bits exceed 1000; on NT the major
#     version is 5 or more.
#   0x8000: the native processor is x64 or IA-64, or the version is 5.2 with
#     a service pack, or the major version is 6 or more.
#   0x10000: the major version is below 6.
# The rest of the capability word does not depend on the version: with the
# library's mode word 0 and the init flags 0x1C11 it is 0x1|0x8|0x80|0x1000
# (always), 0x2|0x200|0x20|0x400|0x800|0x100|0x2000 (mode bits 0, 2 and 3
# clear) and 0x20000 (init flag 0x4 absent) = 0x23FAB.
fixed_flags=0x23FAB
# Columns: Wine's Version value; the version cmd /c ver reports; the version
# GetVersionExA gives a program without a compatibility manifest (the layer's
# source; Windows 8.1 and later answer 6.2 to such a program, and so does
# Wine); the service-pack major version; the platform; NT family; recent;
# 0x8000 on x86; 0x8000 on x64; 0x10000.
table="
win95    4.0   4.0  0  1  0 0  0 1  1
win98    4.10  4.10 0  1  0 1  0 1  1
nt40     4.0   4.0  6  2  1 0  0 1  1
winxp    5.1   5.1  3  2  1 1  0 1  1
win2003  5.2   5.2  2  2  1 1  1 1  1
vista    6.0   6.0  2  2  1 1  1 1  0
win10    10.0  6.2  0  2  1 1  1 1  0
"

# The 32-bit prefix: made once in the build tree and kept; only drive c:,
# inside the prefix (the default z: would show the host's root).
make_x86_prefix() {
  local dir=$1 link
  [ -f "$dir/.purgekit-ready" ] && return 0
  rm -rf "$dir"
  WINEARCH=win32 WINEPREFIX="$dir" wineboot -i >/dev/null 2>&1 || fail "wineboot -i of the 32-bit prefix failed"
  WINEPREFIX="$dir" wineserver -w
  for link in "$dir"/dosdevices/*:; do
    [ -e "$link" ] || [ -L "$link" ] || continue
    [ "$(basename "$link")" = c: ] || rm -f "$link"
  done
  touch "$dir/.purgekit-ready"
}

# The first data line of a wmic query (its output is UTF-16).
wmic_value() {
  wine wmic os get "$1" </dev/null 2>/dev/null | iconv -f UTF-16LE -t UTF-8 | tr -d '\r\357\273\277' |
    awk 'NR > 1 && NF { print $1; exit }'
}

prefix_x64=$base-x64
prefix_x86=$base-x86
stop_servers() {
  "$prefix_tool" "$prefix_x64" --stop || true
  WINEPREFIX="$prefix_x86" wineserver -k 2>/dev/null || true
}
trap stop_servers EXIT

WINEARCH=win64 "$prefix_tool" "$prefix_x64" --start
make_x86_prefix "$prefix_x86"
WINEPREFIX="$prefix_x86" setsid wineserver -p </dev/null >/dev/null 2>&1 || true

failures=0
check() {  # what, got, expected
  if [ "$2" != "$3" ]; then
    echo "  MISMATCH $1: got '$2', expected '$3'"
    failures=$((failures + 1))
  fi
}

for arch in x86 x64; do
  if [ "$arch" = x86 ]; then export WINEPREFIX=$prefix_x86; else export WINEPREFIX=$prefix_x64; fi
  cp "$probe" "$WINEPREFIX/drive_c/os_version_probe.exe"
  cd "$WINEPREFIX/drive_c"
  os_arch=$(wmic_value OSArchitecture)
  echo "== $arch prefix $WINEPREFIX (wmic: $os_arch)"
  case $arch in
    x86) check "wmic OSArchitecture" "$os_arch" 32-bit; arch_code=0 ;;
    x64) check "wmic OSArchitecture" "$os_arch" 64-bit; arch_code=9 ;;
  esac
  # Standard input is the table: Wine is given /dev/null instead.
  while read -r name reported read_version sp platform nt recent f8000_x86 f8000_x64 f10000; do
    [ -n "$name" ] || continue
    wine reg add 'HKCU\Software\Wine' /v Version /d "$name" /f </dev/null >/dev/null 2>&1 ||
      fail "reg add of Version $name failed"

    # The system as Wine's own tools see it: the setting must have taken.
    ver=$(wine cmd /c ver </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^Microsoft Windows \([0-9.]*\)$/\1/p')
    wmic_sp=$(wmic_value ServicePackMajorVersion)
    out=$(wine 'C:\os_version_probe.exe' </dev/null 2>/dev/null | tr -d '\r') || {
      echo "$out"
      fail "$arch $name: the probe ended with an error"
    }
    echo "$name: ver $ver, wmic service pack $wmic_sp"
    while IFS= read -r line; do echo "  probe: $line"; done <<<"$out"
    check "$name cmd /c ver" "${ver%.*}" "$reported"
    check "$name wmic service pack" "$wmic_sp" "$sp"

    # What the layer read.
    line=$(echo "$out" | sed -n 's/^version //p')
    got_version=${line%% *}
    check "$name version read" "${got_version%.*}" "$read_version"
    # Where the layer reads what cmd reports, the build number too.
    if [ "$read_version" = "$reported" ]; then check "$name build read" "$got_version" "$ver"; fi
    check "$name service pack read" "$(echo "$line" | sed -n 's/.* sp=\([0-9]*\).*/\1/p')" "$sp"
    check "$name platform read" "$(echo "$line" | sed -n 's/.* platform=\([0-9]*\).*/\1/p')" "$platform"
    check "$name processor read" "$(echo "$line" | sed -n 's/.* arch=\([0-9]*\).*/\1/p')" "$arch_code"

    # What it made of it.
    check "$name kind" "$(echo "$out" | sed -n 's/^kind //p')" "nt=$nt recent=$recent"
    if [ "$arch" = x86 ]; then f8000=$f8000_x86; else f8000=$f8000_x64; fi
    expected=$((fixed_flags | (f8000 ? 0x8000 : 0) | (f10000 ? 0x10000 : 0)))
    check "$name capabilities" "$(echo "$out" | sed -n 's/^capabilities //p')" "$(printf '0x%x' "$expected")"
  done <<<"$table"
  cd /
done

[ "$failures" = 0 ] || fail "$failures mismatches"
echo PASS
