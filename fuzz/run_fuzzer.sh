#!/bin/sh
# Runs one fuzz target for FUZZ_SECONDS (default 10) from its seed corpus.
# New inputs go to a scratch folder, so the committed seeds stay as they are.
set -eu
binary=$1
seeds=$2
if [ ! -x "$binary" ]; then
  echo "SKIPPED: $binary is not built (cmake --preset fuzz && cmake --build --preset fuzz)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$binary" -max_total_time="${FUZZ_SECONDS:-10}" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$scratch/" "$scratch" "$seeds" 2>&1 | tail -n 12
