# shellcheck shell=sh
# Sourced by the packaging scripts, which `make` runs from the source folder
# with JOBS, DIST and BUILD_ROOT set. Each preset builds in the folder that
# CMakePresets.json names for it, under BUILD_ROOT: the clone itself, or a
# test's scratch folder.

build_folder() {  # a preset
  printf '%s/%s\n' "$BUILD_ROOT" "$(cmake -DPRESET="$1" -P cmake/preset_folders.cmake)"
}

build_preset() {  # a preset: configured and built in its folder
  folder=$(build_folder "$1")
  cmake --preset "$1" -B "$folder" >/dev/null
  cmake --build "$folder" -j "$JOBS"
}

pack() {  # a built preset, then the pattern of the files of its CPack run that go to DIST
  folder=$(build_folder "$1")
  cpack --config "$folder/CPackConfig.cmake" -B "$folder/cpack" >/dev/null
  mkdir -p "$DIST"
  # shellcheck disable=SC2086 # the pattern is expanded here
  cp "$folder"/cpack/$2 "$DIST/"
}
