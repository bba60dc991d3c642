#!/bin/sh
# Creates the Wine prefix once (about 20 s the first time) so that the first
# black-box test does not spend its start-up time on it.
set -eu
exe=$1
if [ ! -f "$exe" ]; then
  echo "FAILED: $exe is missing; build it with: cmake --preset windows && cmake --build --preset windows"
  exit 1
fi
WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
echo "Wine prefix ready in $WINEPREFIX"
