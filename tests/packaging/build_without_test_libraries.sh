#!/bin/sh
# The server must configure, build and run on a machine without GoogleTest,
# GoogleMock or Google Benchmark: a scratch build that cannot find them.
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake -S "$source_dir" -B "$scratch" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$scratch" -j 2 >/dev/null
"$source_dir/tests/packaging/serve_main_page.sh" "$scratch/quillet"
