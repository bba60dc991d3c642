#!/bin/sh
# A 32-bit build whose own CMAKE_CXX_FLAGS replace the toolchain file's loses
# 64-bit file offsets and times; the platform layer must then not compile,
# naming the flag that is missing, and must compile with both.
#
#   offsets_and_times.sh COMPILER SOURCE-FOLDER
set -eu
compiler=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# flags given | what the compiler must say (empty: it compiles)
while IFS='|' read -r flags expected; do
  status=0
  # shellcheck disable=SC2086 # the flags are separate words
  "$compiler" -std=c++20 -fsyntax-only $flags -I"$source_dir/src" \
    "$source_dir/src/platform/posix/files.cpp" >"$scratch/out.txt" 2>&1 || status=$?
  if [ -z "$expected" ] && [ "$status" -ne 0 ]; then
    echo "FAILED: with '$flags' the platform layer does not compile:"
    cat "$scratch/out.txt"
    exit 1
  fi
  if [ -n "$expected" ] && { [ "$status" -eq 0 ] || ! grep -qF "$expected" "$scratch/out.txt"; }; then
    echo "FAILED: with '$flags' the compiler did not say: $expected"
    cat "$scratch/out.txt"
    exit 1
  fi
  echo "ok: with '${flags:-no flags}': ${expected:-compiles}"
done <<'TABLE'
|32-bit builds need -D_FILE_OFFSET_BITS=64
-D_FILE_OFFSET_BITS=64|32-bit builds need -D_TIME_BITS=64
-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64|
TABLE
