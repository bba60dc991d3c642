#!/bin/sh
# What the full test run needs: each program or library with its Debian
# package and the check that proves it works here. `make test`, `make
# check` and CI install what is missing through this script; nothing else
# keeps this list.
#
#   prerequisites.sh check [GROUP...]    say what is missing; exit 1 if anything is
#   prerequisites.sh install [GROUP...]  install it first with apt-get (sudo when
#                                        not root), where that can be done
#
# QUILLET_INSTALL=no turns install into check.
set -eu

# group | Debian packages | check. `make check` needs the group "quick" alone.
# Each check runs its tool on a small task, since a program can be on the PATH
# and still fail to start. ":arm64" is not a package but an architecture that
# dpkg must know: the VM test downloads Debian's arm64 kernel and busybox with
# apt-get, and the arm64 package's dependencies are read from Debian's own arm64
# libraries. A name ending in "-" is one that must not be installed.
list() {
  cat <<'LIST'
quick     | g++                  | native_program_runs g++
quick     | cmake                | answers cmake -E echo probe ran
quick     | make                 | answers make --version
quick     | libgtest-dev         | links_with g++ gtest/gtest.h InitGoogleTest -lgtest
quick     | libgmock-dev         | links_with g++ gmock/gmock.h InitGoogleMock -lgmock -lgtest
quick     | strace               | answers strace -qq -o /dev/null true
python    | python3              | answers python3 -c 'print("probe ran")'
fuzz      | clang libclang-rt-dev | fuzzer_runs clang++
browser   | chromium             | page_shown chromium
browser   | chromium-driver      | answers chromedriver --version
browser   | python3-selenium     | answers /usr/bin/python3 -c 'import selenium'
windows   | g++-mingw-w64-x86-64 | windows_program_built x86_64-w64-mingw32-g++
wine      | wine wine64 wine32:armhf- | windows_program_runs wine
arm       | g++-aarch64-linux-gnu | static_program_built aarch64-linux-gnu-g++
arm       | g++-arm-linux-gnueabi | static_program_built arm-linux-gnueabi-g++
arm       | qemu-user-static     | emulated_program_runs qemu-aarch64-static aarch64-linux-gnu-g++
arm       | qemu-user-static     | emulated_program_runs qemu-arm-static arm-linux-gnueabi-g++
vm        | qemu-system-arm      | virtual_machine_made qemu-system-aarch64
vm        | :arm64               | foreign_architectures arm64
packaging | file                 | answers file -b /bin/sh
packaging | dpkg-dev             | dependencies_read dpkg-shlibdeps
packaging | systemd              | answers systemd-analyze calendar daily
packaging | lintian              | answers lintian --version
packaging | nsis                 | installer_built makensis
packaging | groff-base           | answers groff -man -Tutf8 -z /dev/null
packaging | :arm64               | foreign_architectures arm64
packaging | libc6:arm64 libgcc-s1:arm64 libstdc++6:arm64 | installed libstdc++6:arm64
packaging | podman               | answers podman version
packaging | runc                 | answers runc --version
setup     | mmdebstrap           | answers mmdebstrap --version
fs        | e2fsprogs            | file_system_made /sbin/mkfs.ext4 1
fs        | xfsprogs             | file_system_made /sbin/mkfs.xfs 300
fs        | btrfs-progs          | file_system_made /sbin/mkfs.btrfs 120
fs        | exfatprogs           | file_system_made /sbin/mkfs.exfat 8
fs        | exfat-fuse           | answers /sbin/mount.exfat-fuse -V
fs        | dosfstools           | file_system_made /sbin/mkfs.fat 8
fs        | fusefat              | prints 'Usage: fusefat' fusefat -h
fs        | ntfs-3g              | answers ntfs-3g --version
fs        | rclone               | answers rclone version
fs        | fuse3                | answers fusermount3 -V
fs        | iproute2             | answers /sbin/ip -o link show lo
LIST
}

# The checks. Each prints what went wrong when it fails; the tool comes first
# among its arguments. Their files go to one scratch folder per run.
scratch=$(mktemp -d)
wine_prefix="$scratch/wine-prefix"
cleanup() {
  if [ -d "$wine_prefix" ]; then
    WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
printf '#include <cstdio>\nint main() { std::puts("probe ran"); }\n' >"$scratch/probe.cpp"

# Says what a command printed when it failed: its status and its last lines.
failed() {  # status, output file, then the command
  status=$1
  output=$2
  shift 2
  echo "\`$*\` ended with status $status:"
  tail -n 5 "$output" | sed 's/^/    /'
}

answers() {
  "$@" >"$scratch/answer" 2>&1 || { failed $? "$scratch/answer" "$@"; return 1; }
}

prints() {  # the text it must print, then the command; its status does not count
  text=$1
  shift
  "$@" >"$scratch/answer" 2>&1 || true
  grep -qF "$text" "$scratch/answer" ||
    { echo "\`$*\` did not print \"$text\":"; tail -n 5 "$scratch/answer" | sed 's/^/    /'; return 1; }
}

# The command given must print "probe ran" alone on its standard output.
probe_says_it_ran() {
  status=0
  "$@" >"$scratch/said" 2>"$scratch/said-errors" || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$scratch/said" >>"$scratch/said-errors"
    failed "$status" "$scratch/said-errors" "$@"
    return 1
  fi
  [ "$(tr -d '\r' <"$scratch/said")" = "probe ran" ] ||
    { echo "\`$*\` did not print \"probe ran\":"; cat "$scratch/said-errors" "$scratch/said" | tail -n 5 | sed 's/^/    /'; return 1; }
}
built() {  # compiler, output, then its flags
  compiler=$1
  output=$2
  shift 2
  answers "$compiler" -std=c++20 "$@" "$scratch/probe.cpp" -o "$output"
}
native_program_runs() {
  built "$1" "$scratch/probe" && probe_says_it_ran "$scratch/probe"
}
static_program_built() {
  built "$1" "$scratch/probe-$1" -static
}
emulated_program_runs() {  # emulator, then the cross compiler of its processor
  command -v "$2" >/dev/null || { echo "$1 has no program to run: $2 is missing"; return 1; }
  static_program_built "$2" && probe_says_it_ran "$1" "$scratch/probe-$2"
}
windows_program_built() {
  built "$1" "$scratch/probe.exe" -static || return 1
  [ "$(head -c 2 "$scratch/probe.exe")" = MZ ] || { echo "$1 built no Windows program"; return 1; }
}

# The tests run the 64-bit loader itself (tests/CMakeLists.txt finds it the
# same way): Debian's /usr/bin/wine takes the 32-bit loader wherever wine32 is
# installed, and wine64 recommends wine32, which apt then takes from any
# foreign architecture, armhf's included. That one cannot run here, so it is
# kept out, and /usr/bin/wine must run the program too.
wine64_loader() {
  command -v wine64 || echo /usr/lib/wine/wine64
}
windows_program_runs() {
  wine_ran "$(wine64_loader)" && wine_ran "$1"
}
wine_ran() {  # the loader, or /usr/bin/wine, which sets WINELOADER itself
  (
    unset DISPLAY WINELOADER
    [ "$1" = "$(wine64_loader)" ] && export WINELOADER="$1"
    export WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    probe_says_it_ran "$1" cmd /c echo probe ran
  )
}

links_with() {  # compiler, header, a function of the library, then the libraries
  compiler=$1
  header=$2
  function=$3
  shift 3
  printf '#include <%s>\n' "$header" >"$scratch/header.cpp"
  answers "$compiler" -std=c++20 -E "$scratch/header.cpp" -o /dev/null || return 1
  printf 'namespace testing { void %s(int*, char**); }\n%s\n' "$function" \
    "int main(int argc, char** argv) { testing::$function(&argc, argv); }" >"$scratch/link.cpp"
  answers "$compiler" "$scratch/link.cpp" -o "$scratch/link" "$@" -pthread &&
    answers "$scratch/link"
}

# libFuzzer's runtime comes in its own package; only a link tells it is there.
fuzzer_runs() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
    >"$scratch/fuzz.cpp"
  answers "$1" -fsanitize=fuzzer "$scratch/fuzz.cpp" -o "$scratch/fuzz" &&
    answers "$scratch/fuzz" -runs=1
}

page_shown() {  # as root, Chromium starts only without its sandbox
  prints '<p>probe ran</p>' "$1" --headless --no-sandbox --disable-gpu \
    --user-data-dir="$scratch/chromium" --dump-dom 'data:text/html,<p>probe ran</p>'
}

virtual_machine_made() {  # the machine of the VM test, made and left at once
  echo quit >"$scratch/monitor"
  answers "$1" -M virt -cpu cortex-a57 -m 64 -display none -nic none -S -monitor stdio \
    <"$scratch/monitor"
}

dependencies_read() {
  mkdir -p "$scratch/package/debian"
  printf 'Source: probe\n\nPackage: probe\nArchitecture: any\n' >"$scratch/package/debian/control"
  (cd "$scratch/package" && prints 'shlibs:Depends=libc6' "$1" -O -e/bin/true)
}

installer_built() {
  printf 'Unicode true\nTarget amd64-unicode\nOutFile "%s"\nSection\nSectionEnd\n' \
    "$scratch/setup.exe" >"$scratch/setup.nsi"
  answers "$1" -V1 "$scratch/setup.nsi"
}

file_system_made() {  # mkfs, then the size of the image in MiB
  rm -f "$scratch/image"
  truncate -s "${2}M" "$scratch/image"
  answers "$1" "$scratch/image"
}

foreign_architectures() {
  for architecture in "$@"; do
    dpkg --print-foreign-architectures | grep -qx "$architecture" ||
      { echo "dpkg does not know the architecture $architecture"; return 1; }
  done
}

installed() {
  [ "$(dpkg-query -W -f '${db:Status-Status}' "$1" 2>/dev/null)" = installed ] ||
    { echo "$1 is not installed"; return 1; }
}

mode=${1:-check}
[ $# -gt 0 ] && shift
case "$mode" in
  check | install) ;;
  *) echo "usage: $0 check|install [GROUP...]" >&2; exit 2 ;;
esac
[ "${QUILLET_INSTALL:-}" = no ] && mode=check

selected() {  # a row's group, then the groups asked for (none: every group)
  wanted=$1
  shift
  [ $# -eq 0 ] && return 0
  for group in "$@"; do
    [ "$group" = "$wanted" ] && return 0
  done
  return 1
}

# Each failing row of the groups asked for: its packages, then what its check
# said, one line each.
failing_rows() {
  list | while IFS='|' read -r group packages check; do
    selected "${group%% *}" "$@" || continue
    # Not from the list: a check that reads its input would take the rows after it.
    if ! eval "$check" </dev/null >"$scratch/said-by-check" 2>&1; then
      echo $packages  # without the padding of the table
      sed 's/^/    /' "$scratch/said-by-check"
    fi
  done
}
# The names of the failing rows, each of a kind: ":architecture" entries (without
# the colon), names that must not be installed (without the "-") and packages.
names() {  # kind, then the failing rows
  kind=$1
  shift
  printf '%s\n' "$@" | grep -v '^  ' | tr ' ' '\n' | while read -r name; do
    case $kind:$name in
      architectures::*) echo "${name#:}" ;;
      removals:*-) echo "${name%-}" ;;
      packages::* | packages:*- | packages:) ;;
      packages:*) echo "$name" ;;
    esac
  done | sort -u | tr '\n' ' ' | sed 's/ $//'
}
# apt-get install removes a package named with a "-" after it, and keeps it
# from being installed in the same run; it knows only those of the
# architectures dpkg knows.
removals_apt_knows() {
  for name in $(names removals "$@"); do
    architecture=${name#*:}
    [ "$architecture" = "$name" ] || dpkg --print-foreign-architectures | grep -qx "$architecture" ||
      continue
    printf ' %s-' "$name"
  done
}

on_debian() {
  command -v apt-get >/dev/null && [ -r /etc/os-release ] &&
    grep -qE '^(ID|ID_LIKE)=.*(debian|ubuntu)' /etc/os-release
}

install_line() {  # the failing rows
  line="Installing what the tests need: $(names packages "$@")"
  [ -z "$(names architectures "$@")" ] ||
    line="$line (and the dpkg architectures $(names architectures "$@"))"
  [ -z "$(names removals "$@")" ] || line="$line (keeping $(names removals "$@") out)"
  echo "$line"
}

failing=$(failing_rows "$@")
[ -z "$failing" ] && exit 0

if [ "$mode" = install ] && on_debian; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null; then
    as_root=sudo
  else
    as_root=none
  fi
  if [ "$as_root" != none ]; then
    install_line "$failing"
    log=$(mktemp)
    if ! { for architecture in $(names architectures "$failing"); do
             $as_root dpkg --add-architecture "$architecture"
           done &&
           $as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
           install=$(names packages "$failing")$(removals_apt_knows "$failing") &&
           { [ -z "$install" ] ||
             $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $install; }; } \
           >"$log" 2>&1; then
      tail -n 20 "$log"
      echo "FAILED: apt-get could not install: $(names packages "$failing")"
    fi
    rm -f "$log"
    failing=$(failing_rows "$@")
    [ -z "$failing" ] && exit 0
  fi
fi

echo "FAILED: what the tests need does not work here (each Debian package, then what its check said):"
printf '%s\n' "$failing" | sed 's/^\([^ ]\)/  \1/'
commands=""
for architecture in $(names architectures "$failing"); do
  commands="${commands}dpkg --add-architecture $architecture && "
done
[ -n "$commands" ] && commands="${commands}apt-get update && "
install=$(names packages "$failing")
for name in $(names removals "$failing"); do
  install="$install $name-"
done
if [ -n "$install" ]; then
  commands="${commands}apt-get install ${install# }"
else
  commands=${commands% && }
fi
if on_debian && command -v sudo >/dev/null; then
  echo "Install it with: sudo sh -c '$commands'"
elif on_debian; then
  echo "Install it as root with: $commands"
else
  echo "These are Debian's package names; install the same programs and libraries with your"
  echo "system's package manager."
fi
exit 1
