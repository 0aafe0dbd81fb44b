# Sourced by the scripts that run a probe program in the tests' running Wine
# prefix.
#
# probe_root PREFIX NAME: exports the Wine environment for PREFIX and sets
# `root` to a fresh folder on its drive C: (C:\NAME-PID, with bin and work
# inside), removed again when the script exits, and `name` to its name.
probe_root() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  name=$2-$$
  root=$1/drive_c/$name
  rm -rf "$root"
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/bin" "$root/work"
}
