#!/bin/sh
# Runs a test binary from another build tree (the sanitizer build), or says
# plainly that it skipped because that tree is not built.
set -eu
binary=$1
build_command=$2
if [ ! -x "$binary" ]; then
  echo "SKIPPED: $binary is not built ($build_command)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
exec "$binary"
