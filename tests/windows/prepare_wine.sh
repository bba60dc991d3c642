#!/bin/sh
# Creates the Wine prefix once (about 20 s the first time) so that the first
# black-box test does not spend its start-up time on it. The second argument
# is the 64-bit Wine loader the tests run.
set -eu
exe=$1
loader=$2
if [ ! -f "$exe" ]; then
  echo "FAILED: $exe is missing; build it with: cmake --preset windows && cmake --build --preset windows"
  exit 1
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! WINELOADER=$loader WINEDEBUG=-all "$loader" wineboot -i >"$log" 2>&1; then
  echo "FAILED: $loader could not make the Wine prefix $WINEPREFIX (tests/prerequisites.sh check wine):"
  tail -n 20 "$log"
  exit 1
fi
echo "Wine prefix ready in $WINEPREFIX"
