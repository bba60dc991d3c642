#!/bin/sh
# Boots Debian's own arm64 kernel under qemu-system-aarch64 (TCG) with an
# initramfs that holds the static aarch64 server, a small static client and
# busybox, and checks what vm_init.sh reports from inside: a save and a view,
# the socket filter (Seccomp: 2), NoNewPrivs, that a link out of pages/ is not
# followed, and exit code 0 on the stop request. With "without-landlock" the
# kernel is booted with Landlock built in but not enabled: the link is then
# followed, and the server notes why it serves without the rule on files.
#
#   boot_arm64.sh SERVER CACHE-FOLDER confined|without-landlock
#
# The kernel and busybox come from Debian's archive (apt-get download) once
# and stay in CACHE-FOLDER.
set -eu
server=$1
cache=$2
mode=$3
here=$(cd "$(dirname "$0")" && pwd)
compiler=aarch64-linux-gnu-g++

fail() {
  echo "FAILED: $*"
  exit 1
}
for tool in qemu-system-aarch64:qemu-system-arm "$compiler":g++-aarch64-linux-gnu \
            python3:python3 apt-get:apt; do
  command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} is missing: apt-get install ${tool#*:}"
done
[ -x "$server" ] || fail "$server is not built (make arm)"

fetch_kernel_and_busybox() {
  dpkg --print-foreign-architectures | grep -qx arm64 ||
    fail "dpkg does not know the arm64 architecture, so apt-get finds no arm64 kernel: run" \
         "tests/prerequisites.sh install (sudo dpkg --add-architecture arm64 && sudo apt-get update)"
  kernel=$(apt-cache depends linux-image-arm64:arm64 2>/dev/null |
           awk '/Depends: linux-image-/ {print $2; exit}')
  [ -n "$kernel" ] ||
    fail "apt-cache knows no linux-image-arm64:arm64: run sudo apt-get update"
  rm -rf "$cache/download" && mkdir -p "$cache/download"
  # apt's own download user cannot write to the build folder; that is only a warning.
  (cd "$cache/download" && apt-get download -q "${kernel%:*}:arm64" busybox-static:arm64 2>&1 |
     grep -v '^W: Download is performed unsandboxed') || true
  ls "$cache"/download/linux-image-*.deb "$cache"/download/busybox-static_*.deb >/dev/null 2>&1 ||
    fail "apt-get could not download ${kernel%:*}:arm64 and busybox-static:arm64"
  dpkg-deb --fsys-tarfile "$cache"/download/linux-image-*.deb |
    tar -x -C "$cache/download" --wildcards './boot/vmlinuz-*'
  dpkg-deb -x "$cache"/download/busybox-static_*.deb "$cache/download/busybox"
  cp "$cache"/download/boot/vmlinuz-* "$cache/vmlinuz.new"
  cp "$cache/download/busybox/bin/busybox" "$cache/busybox"
  mv "$cache/vmlinuz.new" "$cache/vmlinuz"
  rm -rf "$cache/download"
}

mkdir -p "$cache"
[ -f "$cache/vmlinuz" ] && [ -f "$cache/busybox" ] || fetch_kernel_and_busybox

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/wiki"
cp "$cache/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$server" "$root/quillet"
cp "$here/vm_init.sh" "$root/init"
"$compiler" -std=c++20 -O2 -static -s "$here/vm_client.cpp" -o "$root/client" ||
  fail "the client does not compile with $compiler"
chmod 755 "$root/init" "$root/client" "$root/quillet" "$root/bin/busybox"
python3 "$here/make_initramfs.py" "$root" "$scratch/initramfs.gz"

command_line="console=ttyAMA0 quiet panic=-1"
case $mode in
  confined) ;;
  without-landlock) command_line="$command_line lsm=lockdown,yama" ;;
  *) fail "unknown mode $mode" ;;
esac
started=$(date +%s)
timeout 240 qemu-system-aarch64 -M virt -cpu cortex-a57 -m 256 -smp 1 -nic none \
  -display none -monitor none -serial stdio -no-reboot \
  -kernel "$cache/vmlinuz" -initrd "$scratch/initramfs.gz" -append "$command_line" \
  </dev/null >"$scratch/serial" 2>&1 || true
echo "The VM ran $(($(date +%s) - started)) s; its serial lines:"
tr -d '\r' <"$scratch/serial" | sed 's/^/  /'

client="$here/../support/wiki_client.py"
framed() { python3 "$client" framed "$1"; }
navigation() { python3 "$client" navigation "$1"; }
tr -d '\r' <"$scratch/serial" | grep '^vm: ' >"$scratch/found" || true
{
  echo "vm: save: $(framed "<b>Page saved!</b> - $(navigation home)Saved on arm64")"
  echo "vm: view: $(framed "$(navigation home)Saved on arm64")"
  if [ "$mode" = confined ]; then
    echo "vm: leak: $(framed "Unknown page <b>leak</b>. <a href='/edit/leak'>Create it</a>.")"
  else
    echo "vm: leak: $(framed "$(navigation leak)private")"
  fi
  printf 'vm: Seccomp:\t2\n'
  printf 'vm: NoNewPrivs:\t1\n'
  echo "vm: exit code 0"
  echo "vm: page file: Saved on arm64"
  if [ "$mode" = without-landlock ]; then
    echo "vm: stderr: Note: serving without the rules on files (Landlock): Operation not supported"
  fi
  echo "vm: done"
} >"$scratch/expected"
if ! cmp -s "$scratch/expected" "$scratch/found"; then
  echo "FAILED: the VM's findings differ from those expected (- expected, + found):"
  diff -u "$scratch/expected" "$scratch/found" | tail -n +3
  exit 1
fi
echo "ok: on Debian's arm64 kernel ($mode) the server saved, served, was confined as expected and exited with 0"
