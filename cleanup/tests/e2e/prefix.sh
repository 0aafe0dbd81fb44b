# Sourced by the end-to-end scripts (which set `top` to the source tree).
#
# start_prefix WORKDIR: an empty WORKDIR with a Wine prefix of the script's
# own in WORKDIR/prefix, its wineserver started. At exit the wineserver
# stops, and the prefix, which is large, is kept only to look into a
# failure: the script sets `status` to 0 when everything passed.
start_prefix() {
  rm -rf "$1"
  mkdir -p "$1"
  export WINEPREFIX=$1/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  "$top/tools/wine-prefix" "$WINEPREFIX" --start
  status=1
  trap finish_prefix EXIT
}

finish_prefix() {
  wineserver -k 2>/dev/null || true
  [ "$status" -ne 0 ] || rm -rf "$WINEPREFIX"
}

# run ARGS...: the program installed at C:\purgekit\purgekit.exe, run from
# C:\ with ARGS; fails, saying so, unless it ends with 0.
run() {
  local rc=0
  (cd "$WINEPREFIX/drive_c" && wine 'C:\purgekit\purgekit.exe' "$@" </dev/null) || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "FAIL purgekit.exe $* ended with $rc, not 0"
    return 1
  fi
}

# install_product EXE STANDINS [DORVEX SBLIB_DIR]: the program EXE at
# C:\purgekit\purgekit.exe, as the products' own folder holds it, with the
# property-sheet library stand-ins the products leave beside it (STANDINS:
# history_tab.dll and its 64-bit build in x64). With DORVEX, the
# snapshot-library stand-in goes beside it too, as the products install the
# real one, serving the disk images that boot_standin.sh lays out in
# SBLIB_DIR on a drive S:; PURGEKIT_SNAPSHOT_LIBRARY=1 then tells the
# footprint tool that the boot-wizard folders are the default run's.
install_product() {
  local bin=$WINEPREFIX/drive_c/purgekit
  mkdir -p "$bin/x64"
  cp "$1" "$bin/purgekit.exe"
  cp "$2/history_tab.dll" "$bin/history_tab.dll"
  cp "$2/x64/history_tab.dll" "$bin/x64/history_tab.dll"
  if [ -n "${3:-}" ]; then
    cp "$3" "$bin/dorvex.dll"
    "$top/cleanup/tests/e2e/boot_standin.sh" "$4"
    export PURGEKIT_SBLIB_CONFIG='S:\config.txt' PURGEKIT_SNAPSHOT_LIBRARY=1
  else
    export PURGEKIT_SNAPSHOT_LIBRARY=0
  fi
}
