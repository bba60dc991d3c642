#!/bin/sh
# What the full test run needs: each program or library with its Debian
# package and the command that tells whether it is here. `make test`, `make
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
# ":arm64" is not a package but an architecture that dpkg must know: the VM
# test downloads Debian's arm64 kernel and busybox with apt-get, and the arm64
# package's dependencies are read from Debian's own arm64 libraries.
list() {
  cat <<'LIST'
quick     | g++                  | command -v g++
quick     | cmake                | command -v cmake
quick     | make                 | command -v make
quick     | libgtest-dev         | test -f /usr/include/gtest/gtest.h
quick     | libgmock-dev         | test -f /usr/include/gmock/gmock.h
quick     | strace               | command -v strace
python    | python3              | command -v python3
fuzz      | clang libclang-rt-dev | fuzzer_links
browser   | chromium             | test -x /usr/bin/chromium
browser   | chromium-driver      | test -x /usr/bin/chromedriver
browser   | python3-selenium     | /usr/bin/python3 -c 'import selenium'
windows   | g++-mingw-w64-x86-64 | command -v x86_64-w64-mingw32-g++
wine      | wine wine64          | command -v wine && test -x /usr/lib/wine/wine64
arm       | g++-aarch64-linux-gnu | command -v aarch64-linux-gnu-g++
arm       | g++-arm-linux-gnueabi | command -v arm-linux-gnueabi-g++
arm       | qemu-user-static     | command -v qemu-aarch64-static && command -v qemu-arm-static
vm        | qemu-system-arm      | command -v qemu-system-aarch64
vm        | :arm64               | foreign_architectures arm64
packaging | file                 | command -v file
packaging | dpkg-dev             | command -v dpkg-shlibdeps
packaging | systemd              | command -v systemd-analyze
packaging | lintian              | command -v lintian
packaging | nsis                 | command -v makensis
packaging | groff-base           | command -v groff
packaging | :arm64               | foreign_architectures arm64
packaging | libc6:arm64 libgcc-s1:arm64 libstdc++6:arm64 | installed libstdc++6:arm64
packaging | podman               | command -v podman
packaging | runc                 | command -v runc
fs        | e2fsprogs            | test -x /sbin/mkfs.ext4
fs        | xfsprogs             | test -x /sbin/mkfs.xfs
fs        | btrfs-progs          | test -x /sbin/mkfs.btrfs
fs        | exfatprogs           | test -x /sbin/mkfs.exfat
fs        | exfat-fuse           | test -x /sbin/mount.exfat-fuse
fs        | dosfstools           | test -x /sbin/mkfs.fat
fs        | fusefat              | command -v fusefat
fs        | ntfs-3g              | command -v ntfs-3g
fs        | rclone               | command -v rclone
fs        | fuse3                | command -v fusermount3
fs        | iproute2             | test -x /sbin/ip
LIST
}

foreign_architectures() {
  for architecture in "$@"; do
    dpkg --print-foreign-architectures | grep -qx "$architecture" || return 1
  done
}

installed() {
  [ "$(dpkg-query -W -f '${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# libFuzzer's runtime comes in its own package; only a link tells it is there.
fuzzer_links() {
  scratch=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
    >"$scratch/probe.cpp"
  status=0
  clang++ -fsanitize=fuzzer "$scratch/probe.cpp" -o "$scratch/probe" 2>/dev/null || status=$?
  rm -rf "$scratch"
  return "$status"
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

missing_packages() {
  list | while IFS='|' read -r group packages check; do
    selected "${group%% *}" "$@" || continue
    if ! eval "$check" >/dev/null 2>&1; then
      printf ' %s' $packages
    fi
  done
}

# The ":architecture" entries of a list, without the colon, and the packages.
architectures() {
  for name in "$@"; do
    case $name in :*) printf '%s ' "${name#:}" ;; esac
  done
}
packages() {
  for name in "$@"; do
    case $name in :*) ;; *) printf ' %s' "$name" ;; esac
  done
}

on_debian() {
  command -v apt-get >/dev/null && [ -r /etc/os-release ] &&
    grep -qE '^(ID|ID_LIKE)=.*(debian|ubuntu)' /etc/os-release
}

missing=$(missing_packages "$@")
[ -z "$missing" ] && exit 0

if [ "$mode" = install ] && on_debian; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null; then
    as_root=sudo
  else
    as_root=none
  fi
  if [ "$as_root" != none ]; then
    echo "Installing what the tests need:$missing"
    log=$(mktemp)
    if ! { for architecture in $(architectures $missing); do
             $as_root dpkg --add-architecture "$architecture"
           done &&
           $as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
           { [ -z "$(packages $missing)" ] ||
             $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $(packages $missing); }; } \
           >"$log" 2>&1; then
      tail -n 20 "$log"
      echo "FAILED: apt-get could not install:$missing"
    fi
    rm -f "$log"
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && exit 0
  fi
fi

echo "FAILED: the tests need what is not installed:$missing"
commands=""
for architecture in $(architectures $missing); do
  commands="${commands}dpkg --add-architecture $architecture && "
done
[ -n "$commands" ] && commands="${commands}apt-get update && "
commands="${commands}apt-get install$(packages $missing)"
if on_debian && command -v sudo >/dev/null; then
  echo "Install it with: sudo sh -c '$commands'"
elif on_debian; then
  echo "Install it as root with: $commands"
else
  echo "These are Debian's package names; install the same programs and libraries with your"
  echo "system's package manager."
fi
exit 1
