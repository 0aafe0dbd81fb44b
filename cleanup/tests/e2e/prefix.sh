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
