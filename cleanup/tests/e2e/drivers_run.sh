#!/usr/bin/env bash
# drivers_run.sh CASE PURGEKIT_EXE WORKDIR
#
# The driver removal on a prefix of its own, laid out with the maker's
# footprint (cleanup/layout) and run with the product: the program with its
# payload appended. The installer helpers in the payload record how they
# were called (PURGEKIT_STANDIN_RECORD); the program never looks at that.
#
# default: the default run strips the products' names from the volume and
#   disk classes' filter lists and leaves others' filters in their order
#   (reg export), deletes the products' services (sc query), starts the
#   pending setup command (its marker file) and deletes its value, and
#   leaves exactly the six next-logon commands in the native RunOnce. The
#   helper program got the command lines the tool builds, the numbered
#   driver's copy of its .inf and "/log" for that one removal. No install
#   log is written while its folder is missing. Then `wineboot -r` (the next
#   logon) deletes the driver files and the maker's key and nothing else; a
#   second run with the log folder present writes the install log.
# vdd: the "vdd" mode removes the first numbered disk filter through the
#   helper library in process, with its .inf naming the numbered service,
#   and leaves the two next-logon commands; the next logon deletes the two
#   files and nothing else. A service key named "tolbrin" and a command is
#   passed over: no command line and no .inf line carries its name.
# faults: with the helper program missing from the payload, and then with
#   a removal .inf missing, a helper that fails and a service that is
#   already gone, every other removal is still done and the exit code is 0.
set -euo pipefail
case_=$1
exe=$(realpath "$2")
work=$(realpath -m "$3")
top=$(cd "$(dirname "$0")/../../.." && pwd)
footprint=$top/cleanup/layout/footprint
check=$top/cleanup/tests/e2e/drivers_check.py

. "$top/cleanup/tests/e2e/prefix.sh"
start_prefix "$work"
C=$WINEPREFIX/drive_c
record_win='C:\windows\temp\purgekit-standin-calls.txt'
record=$C/windows/temp/purgekit-standin-calls.txt
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pass() { echo "ok: $*"; }

run() {
  local rc=0
  rm -f "$record"
  (cd "$C" && PURGEKIT_STANDIN_RECORD=$record_win wine 'C:\purgekit\purgekit.exe' "$@" </dev/null) || rc=$?
  [ "$rc" -eq 0 ] && pass "purgekit.exe $* ended with 0" || fail "purgekit.exe $* ended with $rc"
}

service_there() { "$footprint" service "$1"; }
expect_services() {  # WANT(gone|there) NAME...
  local want=$1 name
  shift
  for name in "$@"; do
    if service_there "$name"; then
      [ "$want" = there ] || fail "service $name is still there"
    else
      [ "$want" = gone ] || fail "service $name was deleted"
    fi
  done
  pass "services $want: $*"
}

# reg query's line for a filter list, e.g. "volsnap\0bramblesnap".
filters() {
  (cd "$C" && wine reg query "HKLM\\System\\CurrentControlSet\\Control\\Class\\$1" /v "$2") |
    tr -d '\r' | awk -v v="$2" '$1 == v { print $3 }'
}
expect_filters() {  # CLASS VALUE WANT
  local got
  got=$(filters "$1" "$2")
  [ "$got" = "$3" ] && pass "$2 of $1: $got" || fail "$2 of $1 is '$got', not '$3'"
}
VOL='{71a27cdd-812a-11d0-bec7-08002be2092f}'
DISK='{4d36e967-e325-11ce-bfc1-08002be10318}'

"$footprint" apply >"$work/apply.txt"
mkdir -p "$C/purgekit"
cp "$exe" "$C/purgekit/purgekit.exe"
logdir="$C/ProgramData/Quorvel/Harbormark Home"
[ ! -e "$logdir" ] || { echo "the layout has the log folder already"; exit 1; }

case $case_ in
default)
  "$footprint" snapshot "$work/before"
  run
  "$footprint" snapshot "$work/after"
  "$check" run "$work/before" "$work/after" default || failed=1
  "$footprint" services default || failed=1
  expect_filters "$VOL" UpperFilters 'volsnap\0bramblesnap'
  expect_filters "$VOL" LowerFilters 'bramblecrypt'
  expect_filters "$DISK" UpperFilters 'partmgr\0bramblesnap'
  [ -f "$C/windows/temp/quorvel-rvd-setup.txt" ] && pass "the pending setup command ran" ||
    fail "the pending setup command left no marker"

  # The helper program: one call per removal, each with its own .inf from a
  # temporary folder; the numbered driver through its ".tmp" copy, logged.
  tr -d '\r' <"$record" >"$work/calls.txt"
  cat "$work/calls.txt"
  [ "$(grep -c '^kardapp.exe process=kardapp.exe ' "$work/calls.txt")" -eq 7 ] &&
    [ "$(wc -l <"$work/calls.txt")" -eq 7 ] && pass "seven helper program calls" ||
    fail "the helper program was not called once per removal .inf"
  tmp='"C:\\users\\[^\\"]+\\Temp\\[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}\\'
  for pattern in \
    "args=/uninstall: /descr:\"Quorvel Backup Archive Explorer\" /instance:0 /inf-name:${tmp}hmmounter_del\.inf\"  services=hmmounter,hmb_mounter result=0\$" \
    "args=/uninstall: /instance:0 /inf-name:${tmp}mirtel_del\.inf\"  services=mirtel result=0\$" \
    "args=/uninstall: /instance:0 /inf-name:${tmp}quensa_del\.inf\"  services=quensa result=0\$" \
    "args=/uninstall: /instance:0 /inf-name:${tmp}wobrant_del\.inf\.tmp\"  /log services=wobrant612 result=0\$" \
    "args=/uninstall: /instance:0 /inf-name:${tmp}zelcapsrv_del\.inf\"  services=zelcapsrv result=0\$" \
    "args=/uninstall: /instance:0 /inf-name:${tmp}zelcap_del\.inf\"  services=zelcap result=0\$" \
    "args=/uninstall: /instance:0 /inf-name:${tmp}brumelsrv_del\.inf\"  services=brumelsrv result=0\$"; do
    grep -Eq "$pattern" "$work/calls.txt" && pass "called: ${pattern:0:60}..." || fail "no call matches $pattern"
  done
  # Every temporary folder is gone with its files.
  leftovers=$(find "$C/users" -path '*/Temp/*' \( -name '*.inf*' -o -name 'kard*' \) 2>/dev/null | grep -v kard_uninstall.log || true)
  [ -z "$leftovers" ] && pass "no helper file left in the temporary folders" || fail "left behind: $leftovers"
  [ ! -e "$logdir" ] && [ -z "$(find "$C/ProgramData" -name '*.log' 2>/dev/null)" ] &&
    pass "no install log without its folder" || fail "an install log or its folder appeared"

  # The next logon: wineboot runs the native RunOnce commands and waits.
  (cd "$C" && wineboot -r </dev/null >/dev/null 2>&1) || true
  "$footprint" snapshot "$work/restarted"
  "$check" restart "$work/after" "$work/restarted" default || failed=1

  mkdir -p "$logdir"
  run
  log=$(find "$logdir" -name 'purgekit.exe_*.log')
  if [ -n "$log" ] && grep -q 'Procedure Started: "UninstallVersionedDriver"' "$log" &&
     grep -q 'LOG OPEN' "$log"; then
    pass "the install log appears in its folder: $(basename "$log")"
  else
    fail "no install log in $logdir"
  fi
  ;;
vdd)
  "$footprint" snapshot "$work/before"
  run vdd
  "$footprint" snapshot "$work/after"
  "$check" run "$work/before" "$work/after" vdd || failed=1
  "$footprint" services vdd || failed=1
  expect_filters "$DISK" LowerFilters 'bramblecache\0tolbrin7'
  tr -d '\r' <"$record" >"$work/calls.txt"
  cat "$work/calls.txt"
  tmp='"?C:\\users\\[^\\"]+\\Temp\\[0-9A-F-]{36}\\'
  grep -Eq "^kardnt.dll process=purgekit.exe UninstallDriver instance=0 log=0 descr=\(null\) inf=C:\\\\users\\\\[^ ]+\\\\Temp\\\\[0-9A-F-]{36}\\\\flt_remove\.inf services=tolbrin61 result=0\$" "$work/calls.txt" &&
    pass "flt_remove.inf ran in process, naming tolbrin61" || fail "no in-process call for flt_remove.inf naming tolbrin61"
  grep -Eq "^kardnt.dll process=purgekit.exe UninstallDriver .*\\\\vdd_remove\.inf services=hesklor result=0\$" "$work/calls.txt" &&
    pass "vdd_remove.inf ran in process" || fail "no in-process call for vdd_remove.inf"
  [ "$(wc -l <"$work/calls.txt")" -eq 2 ] && pass "two helper calls" || fail "not two helper calls"
  # The service key named like the filter with a command after it is no
  # filter: nothing of its name reaches a command line or the .inf, and the
  # key stays.
  hostile='tolbrin" & rd /s /q %USERPROFILE% & "'
  (cd "$C" && wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\services\\$hostile" /reg:64 \
     </dev/null >/dev/null 2>&1) && pass "the hostile service key stays" ||
    fail "the hostile service key is gone"
  runonce=$( (cd "$C" && wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /reg:64) | tr -d '\r')
  if grep -qiE 'rd /s|USERPROFILE|tolbr" ' <<<"$runonce" || grep -qiE 'rd /s|USERPROFILE' "$work/calls.txt"; then
    fail "the hostile name reached a next-logon command or a helper call"
  else
    pass "no next-logon command and no helper call carries the hostile name"
  fi
  # The .inf the helper got is gone with its folder; its line is in the
  # record (services=tolbrin61, checked above) and the in-process helper
  # library saw no other service.
  grep -q 'services=tolbrin61 ' "$work/calls.txt" && ! grep -q 'services=.*rd' "$work/calls.txt" &&
    pass "the filter .inf named tolbrin61 only" || fail "the filter .inf named more than tolbrin61"
  # The next logon: wineboot runs the native RunOnce commands and waits.
  (cd "$C" && wineboot -r </dev/null >/dev/null 2>&1) || true
  "$footprint" snapshot "$work/restarted"
  "$check" restart "$work/after" "$work/restarted" vdd || failed=1
  ;;
faults)
  # 1. The helper program is missing from the payload: every .inf removal
  #    fails, the filter lists, the pending command and the next-logon
  #    commands are still done.
  cp "$(dirname "$exe")/../purgekit.zip" "$work/no-helper.dat"
  zip -q -d "$work/no-helper.dat" kardapp.exe
  cp "$work/no-helper.dat" "$C/purgekit/purgekit.dat"
  run
  expect_services there hmmounter hmb_mounter mirtel quensa wobrant612 zelcap zelcapsrv brumelsrv
  expect_filters "$VOL" UpperFilters 'volsnap\0bramblesnap'
  # The numbered wobrant612 is taken out by its own removal, which needs the
  # helper files: it stays.
  expect_filters "$DISK" UpperFilters 'partmgr\0bramblesnap\0wobrant612'
  [ -f "$C/windows/temp/quorvel-rvd-setup.txt" ] && pass "the pending setup command ran" ||
    fail "the pending setup command left no marker"
  n=$( (cd "$C" && wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /reg:64) | grep -c REG_SZ || true)
  [ "$n" -eq 6 ] && pass "six next-logon commands" || fail "$n next-logon commands, not six"
  [ ! -s "$record" ] && pass "no helper ran" || fail "a helper ran: $(cat "$record")"

  # 2. A removal .inf missing from the payload (quensa), a helper that fails
  #    (for zelcap) and a service that is already gone (mirtel): the other
  #    services go.
  cp "$(dirname "$exe")/../purgekit.zip" "$work/no-inf.dat"
  zip -q -d "$work/no-inf.dat" quensa_del.inf
  cp "$work/no-inf.dat" "$C/purgekit/purgekit.dat"
  (cd "$C" && wine sc delete mirtel >/dev/null)
  rc=0
  (cd "$C" && PURGEKIT_STANDIN_FAIL=zelcap_del.inf PURGEKIT_STANDIN_RECORD=$record_win \
     wine 'C:\purgekit\purgekit.exe' </dev/null) || rc=$?
  [ "$rc" -eq 0 ] && pass "exit code 0 with faults" || fail "exit code $rc with faults"
  expect_services gone hmmounter hmb_mounter mirtel wobrant612 zelcapsrv brumelsrv
  expect_services there quensa zelcap tolbrin61 hesklor tolbrin7 bramblesnap
  tr -d '\r' <"$record"
  grep -q 'zelcap_del.inf"  services=zelcap result=31' "$record" && pass "the failing helper was called" ||
    fail "the failing helper was not called"
  ! grep -q quensa_del "$record" && pass "no call without its .inf" || fail "a call for the missing .inf"
  ;;
*)
  echo "usage: drivers_run.sh default|vdd|faults PURGEKIT_EXE WORKDIR" >&2
  exit 2
  ;;
esac

status=$failed
[ "$failed" -eq 0 ] && echo "drivers_run.sh $case_: all checks passed"
exit "$status"
