#!/bin/sh
# Runs a test binary from another build tree (the sanitizer build), or fails
# saying that tree is not built.
set -eu
binary=$1
build_command=$2
if [ ! -x "$binary" ]; then
  echo "FAILED: $binary is not built ($build_command)"
  exit 1
fi
exec "$binary"
