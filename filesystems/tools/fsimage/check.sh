# Sourced by the fsimage test scripts: `check NAME EXPECTED ACTUAL` reports
# a difference and counts it in $failures, which the script exits with.
failures=${failures:-0}

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3" | head -40
    failures=$((failures + 1))
  fi
}
