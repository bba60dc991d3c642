#!/bin/sh
# `make package`, into scratch folders, gives Debian packages for amd64, arm64
# and armhf that lintian accepts, with their manual page, Linux archives for
# x86-64, aarch64 and armhf whose static servers run alone in an empty root
# (the ARM ones under qemu's user mode, the 32-bit one on the ARMv6 core of
# the Raspberry Pi 1 and Zero, as the armhf package's, the same server), a
# Windows zip and a Windows installer
# that works under Wine; the packaged servers run; and `make install` / `make
# uninstall` put the server, its user unit and its manual page under a prefix
# and take them away again. The user's dist/ and build folders are left alone.
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here="$source_dir/tests/packaging"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$source_dir"

require() {  # a command, then the Debian package that gives it
  command -v "$1" >/dev/null || { echo "FAILED: $1 is missing: apt-get install $2"; exit 1; }
}
require lintian lintian
require groff groff-base
require file file
require x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64
require makensis nsis
# The 64-bit Wine loader, as the tests find it (tests/CMakeLists.txt).
wine=${QUILLET_WINE_LOADER:-}
[ -x "$wine" ] ||
  { echo "FAILED: no 64-bit Wine loader ('$wine'): apt-get install wine wine64, then a new configure"
    exit 1; }
require aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
require arm-linux-gnueabi-g++ g++-arm-linux-gnueabi
require qemu-aarch64-static qemu-user-static
require qemu-arm-static qemu-user-static
# The armhf package's server is static, so it needs no armhf library.
dpkg-query -W libstdc++6:arm64 >/dev/null 2>&1 ||
  { echo "FAILED: the arm64 package's dependencies are read from Debian's own arm64 libraries:" \
         "dpkg --add-architecture arm64, apt-get update, then" \
         "apt-get install libc6:arm64 libgcc-s1:arm64 libstdc++6:arm64"
    exit 1; }

expect_listed() {  # listing file, then the paths it must hold
  listing=$1
  shift
  for path in "$@"; do
    grep -qx "$path" "$listing" || { echo "FAILED: $path is not in the package"; cat "$listing"; exit 1; }
  done
}

expect_machine() {  # binary, then what `file` must say of its processor
  case $(file -b "$1") in
    *"$2"*) ;;
    *) echo "FAILED: $1 is not for $2: $(file -b "$1")"; exit 1 ;;
  esac
}
split() {  # "a|b|c|d" into first, second, third and fourth
  IFS='|' read -r first second third fourth <<EOF
$1
EOF
}

dist="$scratch/dist"
# The container image has a check of its own (container.sh), in a private store.
make --no-print-directory package DIST="$dist" BUILD_ROOT="$scratch" CONTAINER_TOOL= >/dev/null
man_page=./usr/share/man/man1/quillet.1.gz
# Debian's architecture, what `file` says of its processor, the emulator and
# the processor it emulates.
for package in "amd64|x86-64||" "arm64|ARM aarch64|qemu-aarch64-static|" \
               "armhf|ARM, EABI5|qemu-arm-static|arm1176"; do
  split "$package"
  architecture=$first
  deb="$dist/quillet_1.0.0_$architecture.deb"
  [ -f "$deb" ] || { echo "FAILED: make package wrote no $deb"; ls "$dist"; exit 1; }
  dpkg-deb -c "$deb" | awk '{print $6}' >"$scratch/deb.txt"
  expect_listed "$scratch/deb.txt" ./usr/bin/quillet ./usr/lib/systemd/user/quillet.service \
    ./usr/share/doc/quillet/copyright ./usr/share/doc/quillet/changelog.gz "$man_page"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$architecture" ] ||
    { echo "FAILED: $deb says Architecture: $(dpkg-deb -f "$deb" Architecture)"; exit 1; }
  rm -rf "$scratch/root-$architecture"
  dpkg -x "$deb" "$scratch/root-$architecture"
  expect_machine "$scratch/root-$architecture/usr/bin/quillet" "$second"
  echo "ok: the $architecture .deb holds its server, its user unit, the licence, the changelog" \
       "and the manual page"
  if ! lintian --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1 ||
     grep -q '^[EW]:' "$scratch/lintian.txt"; then
    echo "FAILED: lintian finds errors or warnings in the $architecture .deb:"
    cat "$scratch/lintian.txt"
    exit 1
  fi
  echo "ok: lintian finds no error or warning in the $architecture .deb"
  # The ARM servers load Debian's own ARM C library, whose presence is required above.
  env ${fourth:+QEMU_CPU=$fourth} "$here/serve_main_page.sh" \
    "$scratch/root-$architecture/usr/bin/quillet" $third
done
gzip -dc "$scratch/root-amd64/$man_page" | groff -man -Tutf8 -ww -z >"$scratch/groff.txt" 2>&1
if [ -s "$scratch/groff.txt" ]; then
  echo "FAILED: the manual page renders with warnings:"
  cat "$scratch/groff.txt"
  exit 1
fi
echo "ok: the manual page renders with no warning"

# The archive's processor, what `file` says of it, the emulator and the
# processor it emulates.
for archive in "x86_64|x86-64||" "aarch64|ARM aarch64|qemu-aarch64-static|" \
               "armhf|ARM, EABI5|qemu-arm-static|arm1176"; do
  split "$archive"
  folder=quillet-1.0.0-linux-$first
  archive="$dist/$folder.tar.gz"
  [ -f "$archive" ] || { echo "FAILED: make package wrote no $archive"; ls "$dist"; exit 1; }
  tar -tzf "$archive" >"$scratch/archive.txt"
  expect_listed "$scratch/archive.txt" "$folder/quillet" "$folder/quillet.1" \
    "$folder/quillet.service" "$folder/README" "$folder/LICENSE"
  tar -xzf "$archive" -C "$scratch"
  case $(file -b "$scratch/$folder/quillet") in
    *"statically linked"*) ;;
    *) echo "FAILED: the $first archive's server is not static: $(file -b "$scratch/$folder/quillet")"
       exit 1 ;;
  esac
  expect_machine "$scratch/$folder/quillet" "$second"
  echo "ok: the $first archive holds a static server, its manual page, user unit, README and licence"
  env ${fourth:+QEMU_CPU=$fourth} "$here/serve_in_empty_root.sh" "$scratch/$folder/quillet" $third
done
cmp -s "$scratch/quillet-1.0.0-linux-armhf/quillet" "$scratch/root-armhf/usr/bin/quillet" ||
  { echo "FAILED: the armhf package and the armhf archive carry different servers"; exit 1; }
echo "ok: the armhf package carries the armhf archive's server"
# Where user namespaces are allowed, the check above ran in an empty root; it
# must prove the same where they are refused, so they are refused once here.
if unshare -r true 2>/dev/null; then
  unshare -U -r sh -c 'echo 0 >/proc/sys/user/max_user_namespaces && exec "$0" "$1"' \
    "$here/serve_in_empty_root.sh" "$scratch/quillet-1.0.0-linux-x86_64/quillet"
fi

zip=$(ls "$dist"/quillet-*-windows-x64.zip) ||
  { echo "FAILED: make package wrote no Windows zip"; ls "$dist"; exit 1; }
python3 -m zipfile -l "$zip" | awk 'NR > 1 {print $1}' >"$scratch/zip.txt"
folder=$(basename "$zip" .zip)
expect_listed "$scratch/zip.txt" "$folder/quillet.exe" "$folder/README.txt" "$folder/LICENSE.txt"
echo "ok: the zip holds quillet.exe, README.txt and LICENSE.txt"

setup=$(ls "$dist"/quillet-*-setup.exe) ||
  { echo "FAILED: make package wrote no Windows installer"; ls "$dist"; exit 1; }
"$here/windows_installer.sh" "$setup" "$wine"

prefix="$scratch/prefix"
unit="$prefix/share/systemd/user/quillet.service"
installed_man_page="$prefix/share/man/man1/quillet.1"
make --no-print-directory install PREFIX="$prefix" >/dev/null
test -x "$prefix/bin/quillet" || { echo "FAILED: make install put no bin/quillet"; exit 1; }
test -f "$installed_man_page" || { echo "FAILED: make install put no manual page"; exit 1; }
grep -qx "ExecStart=$prefix/bin/quillet" "$unit" || { echo "FAILED: $unit runs another binary"; exit 1; }
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit"
  echo "ok: systemd-analyze verify accepts the unit"
fi
make --no-print-directory uninstall PREFIX="$prefix" >/dev/null
if [ -e "$prefix/bin/quillet" ] || [ -e "$unit" ] || [ -e "$installed_man_page" ]; then
  echo "FAILED: make uninstall left files behind"
  exit 1
fi
echo "ok: make install and make uninstall under $prefix"
