#!/bin/sh
# Runs one fuzz target for FUZZ_SECONDS (default 10) from its seed corpus,
# and ends it two minutes after that at the latest.
# New inputs go to a scratch folder, so the committed seeds stay as they are;
# a crashing input is kept in build-fuzz/artifacts/ and the run fails.
set -eu
binary=$1
seeds=$2
seconds=${FUZZ_SECONDS:-10}
# Room for start-up and the final merge, beyond the fuzzing time itself.
limit=$((seconds + 120))
if [ ! -x "$binary" ]; then
  echo "FAILED: $binary is not built (cmake --preset fuzz && cmake --build --preset fuzz)"
  exit 1
fi
artifacts=$(dirname "$binary")/../artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
timeout "$limit" "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$scratch" "$seeds" \
  >"$scratch/output.txt" 2>&1 || status=$?
# The whole report when it failed; the closing statistics otherwise.
if [ "$status" -ne 0 ]; then
  cat "$scratch/output.txt"
  echo "FAILED: $binary exited with $status; inputs kept in $artifacts"
else
  tail -n 12 "$scratch/output.txt"
fi
exit "$status"
