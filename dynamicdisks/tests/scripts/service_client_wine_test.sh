#!/usr/bin/env bash
# service_client_wine_test.sh WINE_PREFIX_TOOL PREFIX PROBE LIBRARY SERVICE
#
# The client of the dynamic-disk service under Wine, in a prefix of this
# test's own. First without any "dmio" service (Wine has none): the start
# must fail at once and the way choice fall back to the raw database.
# Then the stand-in service program is registered as "dmio" with sc and
# the stand-in configuration library put beside the probe, which runs the
# client against them (see service_probe_win.cpp for what it checks).
set -euo pipefail
prefix_tool=$1
prefix=$(realpath -m "$2")
probe=$(realpath "$3")
library=$(realpath "$4")
service=$(realpath "$5")

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 WINEPREFIX=$prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

"$prefix_tool" "$prefix" --start
trap 'wine sc stop dmio </dev/null >/dev/null 2>&1 || true; "$prefix_tool" "$prefix" --stop || true' EXIT

dir="$WINEPREFIX/drive_c/ldmservice"
rm -rf "$dir"
mkdir -p "$dir"
cp "$probe" "$dir/ldm_service_probe.exe"
cp "$service" "$dir/dmio_standin.exe"
wine sc delete dmio </dev/null >/dev/null 2>&1 || true

run_probe() {
  local out rc=0
  out=$(cd "$dir" && wine 'C:\ldmservice\ldm_service_probe.exe' "$1" </dev/null 2>/dev/null | tr -d '\r') || rc=$?
  echo "$out" | sed "s/^/  $1: /"
  echo "$out" | grep -q '^check .* FAIL' && fail "$1: a check failed"
  echo "$out" | grep -q '^failures 0$' || fail "$1: the probe did not finish (rc $rc)"
  [ "$rc" = 0 ] || fail "$1: the probe ended with $rc"
}

# Without the service (and without the library, so that nothing but the
# service's absence can stop the start).
run_probe absent

cp "$library" "$dir/dmconfig.dll"
wine sc create dmio binPath= 'C:\ldmservice\dmio_standin.exe' </dev/null >/dev/null 2>&1 ||
  fail "sc create dmio"
run_probe standin
echo PASS
