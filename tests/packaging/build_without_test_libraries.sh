#!/bin/sh
# The server must configure, build and run on a machine without GoogleTest,
# GoogleMock or Google Benchmark: a scratch build that cannot find them. Its
# test run must then fail, naming what is missing.
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake -S "$source_dir" -B "$scratch" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$scratch" -j 2 >/dev/null
"$source_dir/tests/packaging/serve_main_page.sh" "$scratch/quillet"

# Without the test libraries nothing is tested, so the run must fail and say
# what to install, never pass.
status=0
output=$(ctest --test-dir "$scratch" --output-on-failure 2>&1) || status=$?
if [ "$status" -eq 0 ] || ! echo "$output" | grep -q "apt-get install libgtest-dev libgmock-dev"; then
  echo "FAILED: without GoogleTest the test run gave $status and did not name the packages:"
  echo "$output"
  exit 1
fi
echo "ok: without GoogleTest the test run fails and names libgtest-dev and libgmock-dev"
