#!/usr/bin/env bash
# entry_dispatch.sh PROBE_EXE PURGEKIT_EXE
#
# The program's entry under Wine, with the command line as Windows hands it
# over: PROBE_EXE is the real entry built over steps that write their names
# to a log and report failure. Each command line must run exactly its steps,
# in order, and end with exit code 0. PURGEKIT_EXE must be a GUI-subsystem
# program, so that no console opens. Runs in the prefix in WINEPREFIX.
set -euo pipefail
probe=$(realpath "$1")
purgekit=$(realpath "$2")
: "${WINEPREFIX:?the prefix of the test run}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

log_name=purgekit-probe-$$.log
log=$WINEPREFIX/drive_c/$log_name
trap 'rm -f "$log"' EXIT
export PURGEKIT_PROBE_LOG="C:\\$log_name"

default="RunCplDisintegrate SetContextMenuHandlers(absent) SetShellExtensionRegistered(unregistered) RemoveDriversAndServices RemoveBootFolders RemoveNameSpaceKey"
failures=0

# expect "STEPS" ARGS...: the probe with ARGS ran STEPS (space-separated) and
# ended with 0.
expect() {
  local want=$1 rc=0 got shown
  shift
  shown="(none) "
  [ "$#" -eq 0 ] || shown=$(printf '[%s] ' "$@")
  rm -f "$log"
  (cd "$WINEPREFIX/drive_c" && wine "$probe" "$@" </dev/null >/dev/null 2>&1) || rc=$?
  got=$( [ -f "$log" ] && tr -d '\r' <"$log" | paste -sd' ' || true)
  if [ "$rc" -ne 0 ] || [ "$got" != "$want" ]; then
    echo "FAIL arguments $shown: exit $rc, ran: ${got:-nothing}"
    echo "     expected exit 0, ran: $want"
    failures=$((failures + 1))
  else
    echo "ok   arguments $shown-> ${got%% *}..."
  fi
}

expect "$default"
expect RemoveProductFolders file
expect RemoveInstallerRegistration registry
expect RemoveDiskFilterDrivers vdd
expect RemoveInstallerRegistration registry file vdd
expect "$default" File
expect "$default" -file
expect "$default" "file "
expect "$default" " registry"
expect "$default" VDD
expect "$default" ""
expect "$default" "" file
expect "$default" default file

# The subsystem field of the PE optional header: 2 is the Windows GUI.
subsystem=$(python3 - "$purgekit" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
pe = struct.unpack_from("<I", data, 0x3C)[0]
assert data[pe:pe + 4] == b"PE\0\0"
print(struct.unpack_from("<H", data, pe + 24 + 68)[0])
PY
)
if [ "$subsystem" != 2 ]; then
  echo "FAIL purgekit.exe has PE subsystem $subsystem, not 2 (Windows GUI)"
  failures=$((failures + 1))
else
  echo "ok   purgekit.exe is a Windows GUI program"
fi

[ "$failures" -eq 0 ]
