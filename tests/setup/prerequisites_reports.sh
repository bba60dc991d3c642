#!/bin/sh
# What tests/prerequisites.sh check says of a tool that is installed but does
# not work: each row puts stand-ins that fail in a given way first on the
# PATH, runs the check of one group, and compares its report with the lines
# expected, up to the command that would install the packages.
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# A stand-in: its name, then the lines of the shell script it runs.
stand_in() {
  name=$1
  shift
  printf '#!/bin/sh\n' >"$scratch/bin/$name"
  printf '%s\n' "$@" >>"$scratch/bin/$name"
  chmod +x "$scratch/bin/$name"
}

# Each row: its name, the group checked, the stand-ins it makes, then the report.
expect_report() {  # name, group, then the expected report, read from standard input
  name=$1
  group=$2
  cat >"$scratch/expected"
  status=0
  PATH="$scratch/bin:$PATH" QUILLET_INSTALL=no "$source_dir/tests/prerequisites.sh" check "$group" \
    >"$scratch/report" 2>&1 || status=$?
  # The last line's form depends on whether sudo is installed; the stand-ins'
  # folder is a scratch one.
  sed -i -e "s/^Install it with: sudo sh -c '\\(.*\\)'\$/Install it with: \\1/" \
    -e 's/^Install it as root with: /Install it with: /' -e "s|$scratch/bin/||g" "$scratch/report"
  if [ "$status" -ne 1 ] || ! cmp -s "$scratch/expected" "$scratch/report"; then
    echo "FAILED: $name: the check ended with $status and said (- expected, + said):"
    diff -u "$scratch/expected" "$scratch/report" | tail -n +3
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
  rm -rf "$scratch/bin"
  mkdir "$scratch/bin"
}
mkdir "$scratch/bin"

stand_in cmake 'echo "cmake: error while loading shared libraries: libjsoncpp.so.25" >&2' 'exit 127'
expect_report "a tool that cannot start is named with what it printed" quick <<'REPORT'
FAILED: what the tests need does not work here (each Debian package, then what its check said):
  cmake
    `cmake -E echo probe ran` ended with status 127:
        cmake: error while loading shared libraries: libjsoncpp.so.25
Install it with: apt-get install cmake
REPORT

stand_in fusefat 'cat >/dev/null' 'exit 1'
stand_in rclone 'echo "rclone: Segmentation fault" >&2' 'exit 139'
expect_report "a tool that prints nothing, and reads its input, and the rows after it" fs <<'REPORT'
FAILED: what the tests need does not work here (each Debian package, then what its check said):
  fusefat
    `fusefat -h` did not print "Usage: fusefat":
  rclone
    `rclone version` ended with status 139:
        rclone: Segmentation fault
Install it with: apt-get install fusefat rclone
REPORT

stand_in wine64 'echo "probe ran"'
stand_in wine 'echo "/usr/bin/wine: 40: exec: /usr/lib/wine/wine: Exec format error" >&2' 'exit 126'
expect_report "a Wine whose /usr/bin/wine takes a foreign loader is fixed by removing it" wine <<'REPORT'
FAILED: what the tests need does not work here (each Debian package, then what its check said):
  wine wine64 wine32:armhf-
    `wine cmd /c echo probe ran` ended with status 126:
        /usr/bin/wine: 40: exec: /usr/lib/wine/wine: Exec format error
Install it with: apt-get install wine wine64 wine32:armhf-
REPORT

stand_in wine64 'echo "probe ran, in some other words"'
stand_in wine 'echo "probe ran"'
expect_report "a loader that runs the wrong program is named with what it printed" wine <<'REPORT'
FAILED: what the tests need does not work here (each Debian package, then what its check said):
  wine wine64 wine32:armhf-
    `wine64 cmd /c echo probe ran` did not print "probe ran":
        probe ran, in some other words
Install it with: apt-get install wine wine64 wine32:armhf-
REPORT

stand_in dpkg '[ "$1" = --print-foreign-architectures ] || exec /usr/bin/dpkg "$@"' 'echo armhf'
stand_in qemu-system-aarch64 'echo "qemu-system-aarch64: -M virt: unsupported machine type" >&2' 'exit 1'
expect_report "an architecture dpkg does not know is added, not installed as a package" vm <<'REPORT'
FAILED: what the tests need does not work here (each Debian package, then what its check said):
  qemu-system-arm
    `qemu-system-aarch64 -M virt -cpu cortex-a57 -m 64 -display none -nic none -S -monitor stdio` ended with status 1:
        qemu-system-aarch64: -M virt: unsupported machine type
  :arm64
    dpkg does not know the architecture arm64
Install it with: dpkg --add-architecture arm64 && apt-get update && apt-get install qemu-system-arm
REPORT

stand_in dpkg '[ "$1" = --print-foreign-architectures ] || exec /usr/bin/dpkg "$@"' 'echo armhf'
expect_report "an architecture alone is added with no install after it" vm <<'REPORT'
FAILED: what the tests need does not work here (each Debian package, then what its check said):
  :arm64
    dpkg does not know the architecture arm64
Install it with: dpkg --add-architecture arm64 && apt-get update
REPORT

[ "$failures" -eq 0 ] || { echo "FAILED: $failures of the reports above differ"; exit 1; }
