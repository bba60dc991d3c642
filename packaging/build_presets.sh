#!/bin/sh
# Configures and builds each preset named, in its folder under BUILD_ROOT.
set -eu
. packaging/presets.sh
for preset in "$@"; do
  build_preset "$preset"
done
