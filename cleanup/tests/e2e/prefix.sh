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
