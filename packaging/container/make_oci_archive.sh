#!/bin/sh
# `make container`: the image for amd64, arm64, arm/v6 and arm/v7 as one OCI
# archive with one tag in DIST; both 32-bit ARM images hold the one ARMv6
# server. The images are FROM scratch, so building the ARM ones runs nothing
# of theirs and needs no emulation. The list and the images are removed from
# the local store again; `podman load -i` the archive to use it. Run by make
# after `make arm`, with CONTAINER_TOOL, CONTAINER_BUILD and VERSION set too.
set -eu
. packaging/presets.sh
archive="$DIST/quillet-$VERSION-oci.tar"
# Names in the local store while the archive is made.
list=localhost/quillet-package:$VERSION
image_of() {  # a platform
  platform=${1#linux/}
  echo "localhost/quillet-package-$(echo "$platform" | tr / -):$VERSION"
}

build_preset portable
stage_server() {  # a preset, then the image's folder: the server stripped with the strip of its toolchain
  folder=$(build_folder "$1")
  rm -rf "${CONTAINER_BUILD:?}/$2" && mkdir -p "$CONTAINER_BUILD/$2/wiki"
  "$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$folder/CMakeCache.txt")" \
    -o "$CONTAINER_BUILD/$2/quillet" "$folder/quillet"
}
stage_server portable amd64
stage_server aarch64 arm64
stage_server armhf arm

"$CONTAINER_TOOL" manifest rm "$list" >/dev/null 2>&1 || true
"$CONTAINER_TOOL" manifest create "$list" >/dev/null
# platform | the image's folder
platforms="linux/amd64|amd64 linux/arm64|arm64 linux/arm/v6|arm linux/arm/v7|arm"
for entry in $platforms; do
  platform=${entry%|*}
  "$CONTAINER_TOOL" build --quiet --layers=false --platform "$platform" \
    --build-arg VERSION="$VERSION" -t "$(image_of "$platform")" --manifest "$list" \
    -f packaging/container/Containerfile "$CONTAINER_BUILD/${entry#*|}" >/dev/null
done
mkdir -p "$DIST" && rm -f "$archive"
"$CONTAINER_TOOL" manifest push --all --quiet --format oci "$list" \
  "oci-archive:$archive:quillet:$VERSION"
"$CONTAINER_TOOL" manifest rm "$list" >/dev/null
for entry in $platforms; do
  "$CONTAINER_TOOL" rmi "$(image_of "${entry%|*}")" >/dev/null
done
