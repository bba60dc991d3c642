#!/bin/sh
# The ARM archive and Debian package of one preset, where its cross compiler
# is installed:
#
#   arm_packages.sh PRESET DEBIAN-ARCHITECTURE COMPILER
#
# The package is built from the preset package-PRESET. Where its server links
# to the system's libraries, dpkg-shlibdeps takes the package's dependencies
# from Debian's own libraries of that architecture (libc6:arm64 and the rest,
# beside the system's), as it does for the amd64 package; a static server, as
# the armhf package's is, needs none.
set -eu
. packaging/presets.sh
preset=$1
architecture=$2
compiler=$3

if ! command -v "$compiler" >/dev/null; then
  echo "$compiler is not installed: no $preset archive or package"
  exit 0
fi
build_preset "$preset"
pack "$preset" '*.tar.gz'

folder=$(build_folder "package-$preset")
cmake --preset "package-$preset" -B "$folder" >/dev/null
if ! grep -qx 'QUILLET_LINKING:STRING=static' "$folder/CMakeCache.txt" &&
   ! dpkg-query -W "libstdc++6:$architecture" >/dev/null 2>&1; then
  echo "libstdc++6:$architecture is not installed: no $architecture package" \
       "(dpkg --add-architecture $architecture; apt-get install libc6:$architecture" \
       "libgcc-s1:$architecture libstdc++6:$architecture)"
  exit 0
fi
build_preset "package-$preset"
DEB_HOST_ARCH=$architecture
export DEB_HOST_ARCH
pack "package-$preset" '*.deb'
