#!/usr/bin/env bash
# shell_run.sh PURGEKIT_EXE KEYSEC_EXE STANDINS_DIR WORKDIR
#
# The default run's shell integration steps on a prefix laid out with the
# maker's footprint and others' records (cleanup/layout), each record asked
# for afterwards with Wine's reg.exe in the views it was laid out in:
#
# - the control-panel item gets its saved values back and loses the saved
#   copies; its owner and access list, read with Windows' security calls
#   (KEYSEC_EXE), are the same bytes as before the run;
# - the three context-menu handler keys go, another vendor's stay;
# - regsvr32 unregisters the stand-in history_tab.dll (STANDINS_DIR, its
#   64-bit build in x64), the 64-bit one first, and its class key is gone
#   from both views;
# - the namespace key goes from both views, another vendor's entry stays.
#
# Then, on the same prefix, the cases where a step must leave things alone:
# only two of the three handler keys present (none is deleted), the
# libraries missing (the class keys stay and the run still ends with 0), the
# library registered in the 64-bit view only (regsvr32 is not started), an
# item that names another library (untouched); and an item whose saved
# values are gone (Windows' factory values are written).
set -euo pipefail
exe=$(realpath "$1")
keysec=$(realpath "$2")
standins=$(realpath "$3")
work=$(realpath -m "$4")
top=$(cd "$(dirname "$0")/../../.." && pwd)
footprint=$top/cleanup/layout/footprint
layout=$top/cleanup/layout/registry

. "$top/cleanup/tests/e2e/prefix.sh"
start_prefix "$work"
export PURGEKIT_KEYSEC=$keysec
# The stand-ins note each call here.
export HISTORY_TAB_LOG='C:\history_tab.log'
tab_log=$WINEPREFIX/drive_c/history_tab.log

failed=0
problem() {
  echo "FAIL: $*"
  failed=1
}
ok() { echo "ok: $*"; }

in_c() { (cd "$WINEPREFIX/drive_c" && "$@" </dev/null); }

run() {
  local rc=0
  in_c wine 'C:\purgekit\purgekit.exe' "$@" || rc=$?
  [ "$rc" -eq 0 ] || problem "purgekit.exe $* ended with $rc, not 0"
}

# has VIEW KEY: reg.exe finds the key in the view.
has() { in_c wine reg query "$1" "/reg:$2" >/dev/null 2>&1; }

# value VIEW KEY NAME: "TYPE DATA" of the value as reg.exe shows it, or
# nothing when it is missing.
value() {
  { in_c wine reg query "$2" /v "$3" "/reg:$1" 2>/dev/null || true; } | tr -d '\r' |
    awk -v name="$3" '$1 == name { $1 = ""; sub(/^ +/, ""); print; exit }'
}

expect_key() {  # gone|there VIEW KEY
  if has "$3" "$2"; then
    [ "$1" = there ] && ok "$2-bit $3 is there" || problem "$2-bit $3 is still there"
  else
    [ "$1" = gone ] && ok "$2-bit $3 is gone" || problem "$2-bit $3 is missing"
  fi
}

expect_value() {  # VIEW KEY NAME "TYPE DATA" (empty: missing)
  local got
  got=$(value "$1" "$2" "$3")
  if [ "$got" = "$4" ]; then
    ok "$1-bit $3 = ${4:-(missing)}"
  else
    problem "$1-bit $2 \"$3\" holds '${got:-(missing)}', not '${4:-(missing)}'"
  fi
}

# "owner=HEX dacl=HEX": the owner SID and access list of a key, read with
# Windows' security calls. (cpl_keysec also shows SDDL text, whose control
# flags Wine clears whenever a key's owner is set; those are not judged.)
keysec_show() {
  local shown
  shown=$(in_c wine 'C:\purgekit\cpl_keysec.exe' show "$@" | tr -d '\r')
  echo "${shown%% sddl=*}"
}
keysec_sddl() { in_c wine 'C:\purgekit\cpl_keysec.exe' show "$@" | tr -d '\r' | sed 's/.* sddl=//'; }
keysec_set() { in_c wine 'C:\purgekit\cpl_keysec.exe' set "$@" >/dev/null; }

classes='HKLM\SOFTWARE\Classes'
item="$classes"'\CLSID\{B98A2BEA-7D42-4558-8BD1-832F41BAC6FD}'
bag="$item"'\Instance\InitPropertyBag'
handler='shellex\ContextMenuHandlers\{7D21E6B4-58C0-4A3E-9F17-2B8C64D0A395}'
other_handler='shellex\ContextMenuHandlers\Brambleworks Vault'
tab_class="$classes"'\CLSID\{3F6A0C92-D147-4B58-8E2A-91C7B5E04D63}'
namespace='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\MyComputer\NameSpace'
ours_ns="$namespace"'\{7D21E6B5-58C0-4A3E-9F17-2B8C64D0A395}'
other_ns="$namespace"'\{5E2F8A41-0C3B-4D7A-9B16-7A3C2E9D4F10}'
product_sddl='O:SYD:P(A;CI;KA;;;SY)(A;CI;KR;;;BA)(A;;WO;;;BA)(A;CI;KR;;;BU)'
open_sddl='O:BAD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)'
saved_dll='%SystemRoot%\system32\sdcpl.dll'
factory_dll='%SystemRoot%\System32\sdcpl.dll'
maker_dll='C:\Program Files\Quorvel\Harbormark Home\quorvel_backup_cpl.dll'

"$footprint" apply >"$work/apply.txt"
# The program with its payload, the stand-ins beside it as the products
# place them, and the security helper.
mkdir -p "$WINEPREFIX/drive_c/purgekit/x64"
cp "$exe" "$WINEPREFIX/drive_c/purgekit/purgekit.exe"
cp "${exe%.exe}.dat" "$WINEPREFIX/drive_c/purgekit/purgekit.dat"
cp "$standins/history_tab.dll" "$WINEPREFIX/drive_c/purgekit/history_tab.dll"
cp "$standins/x64/history_tab.dll" "$WINEPREFIX/drive_c/purgekit/x64/history_tab.dll"
cp "$keysec" "$WINEPREFIX/drive_c/purgekit/cpl_keysec.exe"

# The layout is what the checks below assume.
for view in 64 32; do
  for class in '*' Folder Drive; do
    has "$classes\\$class\\$handler" "$view" || problem "layout: no $view-bit $class handler"
  done
  has "$tab_class" "$view" || problem "layout: history_tab is not registered in the $view-bit view"
  has "$ours_ns" "$view" || problem "layout: no $view-bit namespace key"
done
[ "$(value 64 "$bag" ResourceDLL)" = "REG_EXPAND_SZ $maker_dll" ] ||
  problem "layout: the item does not name the maker's library"
security_before=$(keysec_show 64 "$bag")
case "$(keysec_sddl 64 "$bag")" in
  "O:SYD:"*) ;;
  *) problem "layout: the item key's owner is not SYSTEM: $(keysec_sddl 64 "$bag")" ;;
esac

echo "== the default run"
rm -f "$tab_log"
run
expect_value 64 "$bag" ResourceDLL "REG_EXPAND_SZ $saved_dll"
expect_value 64 "$bag" ResourceID "REG_DWORD 0x14"
expect_value 64 "$bag" OldResourceDLL ""
expect_value 64 "$bag" OldResourceID ""
expect_value 64 "$item" "System.ApplicationName" "REG_SZ Microsoft.BackupAndRestoreCenter"
security_after=$(keysec_show 64 "$bag")
if [ "$security_after" = "$security_before" ]; then
  ok "the item key's owner and access list are as before"
else
  problem "the item key's security changed: $security_before -> $security_after"
fi
for view in 64 32; do
  for class in '*' Folder Drive; do
    expect_key gone "$view" "$classes\\$class\\$handler"
    expect_key there "$view" "$classes\\$class\\$other_handler"
  done
  expect_key gone "$view" "$tab_class"
  expect_key gone "$view" "$ours_ns"
  expect_key there "$view" "$other_ns"
done
calls=$(tr -d '\r' <"$tab_log" 2>/dev/null | paste -sd, || true)
[ "$calls" = "64 unregister,32 unregister" ] && ok "regsvr32 ran on the 64-bit library, then the 32-bit one" ||
  problem "the stand-ins saw: '${calls:-nothing}', not '64 unregister,32 unregister'"

echo "== two of the three handler keys"
in_c wine reg add "$classes"'\*\'"$handler" /reg:64 /f >/dev/null
in_c wine reg add "$classes"'\Folder\'"$handler" /reg:64 /f >/dev/null
run
expect_key there 64 "$classes"'\*\'"$handler"
expect_key there 64 "$classes"'\Folder\'"$handler"
expect_key gone 64 "$classes"'\Drive\'"$handler"
in_c wine reg delete "$classes"'\*\'"$handler" /reg:64 /f >/dev/null
in_c wine reg delete "$classes"'\Folder\'"$handler" /reg:64 /f >/dev/null

echo "== registered, but the libraries are missing"
cp "$layout/maker-shell-propsheet32.reg" "$layout/maker-shell-propsheet64.reg" "$WINEPREFIX/drive_c/"
in_c wine reg import 'C:\maker-shell-propsheet32.reg' /reg:32 >/dev/null 2>&1
in_c wine reg import 'C:\maker-shell-propsheet64.reg' /reg:64 >/dev/null 2>&1
rm -f "$WINEPREFIX/drive_c/purgekit/history_tab.dll" "$WINEPREFIX/drive_c/purgekit/x64/history_tab.dll"
rm -f "$tab_log"
run
expect_key there 64 "$tab_class"
expect_key there 32 "$tab_class"
[ ! -s "$tab_log" ] && ok "no library was called" || problem "a library was called: $(cat "$tab_log")"

echo "== registered in the 64-bit view only"
# The 32-bit view tells whether the library is registered: regsvr32 is not
# started, and the 64-bit registration stays.
cp "$standins/history_tab.dll" "$WINEPREFIX/drive_c/purgekit/history_tab.dll"
cp "$standins/x64/history_tab.dll" "$WINEPREFIX/drive_c/purgekit/x64/history_tab.dll"
in_c wine reg delete "$tab_class" /reg:32 /f >/dev/null
rm -f "$tab_log"
run
expect_key there 64 "$tab_class"
[ ! -s "$tab_log" ] && ok "regsvr32 was not started" || problem "a library was called: $(cat "$tab_log")"

# set_item VALUE-ARGS...: rewrite the item's values under an open access
# list, then lock the key again as the products leave it.
set_item() {
  keysec_set 64 "$open_sddl" "$bag"
  in_c wine reg delete "$bag" /va /reg:64 /f >/dev/null
  local entry
  for entry in "$@"; do
    IFS='|' read -r name type data <<<"$entry"
    in_c wine reg add "$bag" /v "$name" /t "$type" /d "$data" /reg:64 /f >/dev/null
  done
  keysec_set 64 "$product_sddl" "$bag"
}

echo "== an item that names another library"
set_item "ResourceDLL|REG_EXPAND_SZ|$factory_dll" "ResourceID|REG_DWORD|20" \
  "OldResourceDLL|REG_EXPAND_SZ|$maker_dll" "OldResourceID|REG_DWORD|101"
before=$(keysec_show 64 "$bag")
run
expect_value 64 "$bag" ResourceDLL "REG_EXPAND_SZ $factory_dll"
expect_value 64 "$bag" ResourceID "REG_DWORD 0x14"
expect_value 64 "$bag" OldResourceDLL "REG_EXPAND_SZ $maker_dll"
expect_value 64 "$bag" OldResourceID "REG_DWORD 0x65"
[ "$(keysec_show 64 "$bag")" = "$before" ] && ok "its owner and access list are untouched" ||
  problem "the owner or access list of an item not integrated changed"

echo "== an integrated item without its saved values"
set_item "ResourceDLL|REG_EXPAND_SZ|$maker_dll" "ResourceID|REG_DWORD|101"
before=$(keysec_show 64 "$bag")
run
expect_value 64 "$bag" ResourceDLL "REG_EXPAND_SZ $factory_dll"
expect_value 64 "$bag" ResourceID "REG_DWORD 0x14"
[ "$(keysec_show 64 "$bag")" = "$before" ] && ok "its owner and access list are as before" ||
  problem "the owner or access list changed on the factory path"

status=$failed
[ "$failed" -eq 0 ] && echo "shell_run: all checks passed" || echo "shell_run: some checks failed"
exit "$status"
