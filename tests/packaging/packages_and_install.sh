#!/bin/sh
# `make package`, into scratch folders, gives a Debian package that lintian
# accepts, with its manual page, a Linux archive whose static server runs
# alone in an empty root, a Windows zip and a Windows installer that works
# under Wine; the packaged server runs; and `make install` / `make
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
require wine "wine wine64"

expect_listed() {  # listing file, then the paths it must hold
  listing=$1
  shift
  for path in "$@"; do
    grep -qx "$path" "$listing" || { echo "FAILED: $path is not in the package"; cat "$listing"; exit 1; }
  done
}

dist="$scratch/dist"
make --no-print-directory package DIST="$dist" PACKAGE_BUILD="$scratch/build-package" \
  PORTABLE_BUILD="$scratch/build-portable" WINDOWS_BUILD="$scratch/build-windows" >/dev/null
deb=$(ls "$dist"/quillet_*.deb)
man_page=./usr/share/man/man1/quillet.1.gz
dpkg-deb -c "$deb" | awk '{print $6}' >"$scratch/deb.txt"
expect_listed "$scratch/deb.txt" ./usr/bin/quillet ./usr/lib/systemd/user/quillet.service \
  ./usr/share/doc/quillet/copyright ./usr/share/doc/quillet/changelog.gz "$man_page"
echo "ok: the .deb holds the server, its user unit, the licence, the changelog and the manual page"

if ! lintian --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1 ||
   grep -q '^[EW]:' "$scratch/lintian.txt"; then
  echo "FAILED: lintian finds errors or warnings in the .deb:"
  cat "$scratch/lintian.txt"
  exit 1
fi
echo "ok: lintian finds no error or warning in the .deb"

dpkg -x "$deb" "$scratch/root"
gzip -dc "$scratch/root/$man_page" | groff -man -Tutf8 -ww -z >"$scratch/groff.txt" 2>&1
if [ -s "$scratch/groff.txt" ]; then
  echo "FAILED: the manual page renders with warnings:"
  cat "$scratch/groff.txt"
  exit 1
fi
echo "ok: the manual page renders with no warning"

archive=$(ls "$dist"/quillet-*-linux-x86_64.tar.gz)
folder=$(basename "$archive" .tar.gz)
tar -tzf "$archive" >"$scratch/archive.txt"
expect_listed "$scratch/archive.txt" "$folder/quillet" "$folder/quillet.1" \
  "$folder/quillet.service" "$folder/README" "$folder/LICENSE"
tar -xzf "$archive" -C "$scratch"
case $(file -b "$scratch/$folder/quillet") in
  *"statically linked"*) ;;
  *) echo "FAILED: the archive's server is not static: $(file -b "$scratch/$folder/quillet")"; exit 1 ;;
esac
echo "ok: the archive holds a static server, its manual page, user unit, README and licence"
"$here/serve_in_empty_root.sh" "$scratch/$folder/quillet"

zip=$(ls "$dist"/quillet-*-windows-x64.zip)
python3 -m zipfile -l "$zip" | awk 'NR > 1 {print $1}' >"$scratch/zip.txt"
folder=$(basename "$zip" .zip)
expect_listed "$scratch/zip.txt" "$folder/quillet.exe" "$folder/README.txt" "$folder/LICENSE.txt"
echo "ok: the zip holds quillet.exe, README.txt and LICENSE.txt"

"$here/windows_installer.sh" "$(ls "$dist"/quillet-*-setup.exe)"

"$here/serve_main_page.sh" "$scratch/root/usr/bin/quillet"

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
