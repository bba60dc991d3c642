#!/bin/sh
# `make package` but the container image: in DIST, a Debian package and a
# Linux archive with a fully static server, the same two for 64-bit and
# 32-bit ARM where the cross compilers are installed, and where mingw-w64 is
# installed a zip and (with NSIS) an installer for Windows.
set -eu
. packaging/presets.sh
mingw=x86_64-w64-mingw32-g++

build_preset package
pack package '*.deb'
build_preset portable
pack portable '*.tar.gz'
packaging/arm_packages.sh aarch64 arm64 aarch64-linux-gnu-g++
packaging/arm_packages.sh armhf armhf arm-linux-gnueabi-g++

if ! command -v "$mingw" >/dev/null; then
  echo "mingw-w64 is not installed: no Windows zip or installer"
  exit 0
fi
build_preset windows
pack windows '*.zip'
if ! command -v makensis >/dev/null; then
  echo "NSIS is not installed (apt-get install nsis): no Windows installer"
  exit 0
fi
folder=$(build_folder windows)
cmake --build "$folder" --target installer >/dev/null
cp "$folder"/quillet-*-setup.exe "$DIST/"
