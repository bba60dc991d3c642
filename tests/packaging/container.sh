#!/bin/sh
# `make container`, into scratch folders, gives one OCI archive with one tag
# whose index holds amd64, arm64, arm/v6 and arm/v7 images, each at most 2 MiB
# with a static server of its architecture, the two 32-bit ARM ones the same
# server, which serves on the ARMv6 core of the Raspberry Pi 1 and Zero. Loaded into a private podman store, the
# image for this machine runs as a user other than root, serves a save and a
# view from a bind-mounted host folder, ends with 0 on `podman stop` and, as a
# second container on the same folder, started with --init, serves the page
# and ends on SIGINT. The user's dist/, build folders and podman store are left alone.
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here="$source_dir/tests/packaging"
cd "$source_dir"

require() {  # a command, then the Debian package that gives it
  command -v "$1" >/dev/null || { echo "FAILED: $1 is missing: apt-get install $2"; exit 1; }
}
require podman podman
require runc runc
require file file
require python3 python3
require qemu-arm-static qemu-user-static

scratch=$(mktemp -d)
first=quillet-test-first
second=quillet-test-second
cleanup() {
  # One at a time: podman removes none of the names given when one is unknown.
  for container in "$first" "$second"; do
    podman rm -f -t 0 "$container" >/dev/null 2>&1 || true
  done
  # Under a user's podman, the store and the pages belong to the user's other IDs.
  [ "$(id -u)" -eq 0 ] || podman unshare rm -rf "$scratch/store" "$scratch/wiki" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# A store and engine state of this test's own. For sandboxes like the one
# this runs in under CI: runc with cgroupfs, since crun refuses hybrid
# cgroups; vfs, which needs no overlay mounts; and explicit limits, since
# podman's own (over a million open files) lie above the sandbox's hard
# limits, which a container may not raise.
mkdir -p "$scratch/copies"
cat >"$scratch/storage.conf" <<EOF
[storage]
driver = "vfs"
graphroot = "$scratch/store"
runroot = "$scratch/store-state"
EOF
cat >"$scratch/containers.conf" <<EOF
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
events_logfile_path = "$scratch/events.log"
tmp_dir = "$scratch/engine-state"
volume_path = "$scratch/volumes"
image_copy_tmp_dir = "$scratch/copies"
[network]
network_config_dir = "$scratch/networks"
EOF
export CONTAINERS_STORAGE_CONF="$scratch/storage.conf" CONTAINERS_CONF="$scratch/containers.conf"
limits="--ulimit nofile=1024:1024 --ulimit nproc=1024:1024"

make --no-print-directory container CONTAINER_TOOL=podman DIST="$scratch/dist" \
  BUILD_ROOT="$scratch" >/dev/null
archive="$scratch/dist/quillet-1.0.0-oci.tar"
echo "ok: make container wrote $(basename "$archive"), $(stat -c %s "$archive") bytes"

python3 "$here/oci_entries.py" "$archive" "$scratch/entries" >"$scratch/entries.txt"
if [ "$(grep -c '^tag ' "$scratch/entries.txt")" -ne 1 ] ||
   ! grep -qx 'tag quillet:1.0.0' "$scratch/entries.txt"; then
  echo "FAILED: the archive does not hold the one tag quillet:1.0.0:"
  cat "$scratch/entries.txt"
  exit 1
fi
platforms=$(awk '$1 == "image" {print $2}' "$scratch/entries.txt" | LC_ALL=C sort | tr '\n' ' ')
if [ "$platforms" != "linux/amd64 linux/arm/v6 linux/arm/v7 linux/arm64 " ]; then
  echo "FAILED: the index holds the images of: $platforms"
  exit 1
fi
while read -r kind platform packed unpacked; do
  [ "$kind" = image ] || continue
  echo "ok: $platform image: $packed bytes in the archive, $unpacked unpacked"
  if [ "$packed" -gt 2097152 ] || [ "$unpacked" -gt 2097152 ]; then
    echo "FAILED: the $platform image is larger than 2 MiB"
    exit 1
  fi
done <"$scratch/entries.txt"

# platform folder | what `file` must say of its server
while IFS='|' read -r folder kind; do
  description=$(file -b "$scratch/entries/$folder/quillet")
  case $description in
    "$kind"*"statically linked"*) echo "ok: $folder: $kind, statically linked" ;;
    *) echo "FAILED: the $folder image's server is: $description"; exit 1 ;;
  esac
done <<'TABLE'
linux-amd64|ELF 64-bit LSB executable, x86-64
linux-arm64|ELF 64-bit LSB executable, ARM aarch64
linux-arm-v6|ELF 32-bit LSB executable, ARM, EABI5
linux-arm-v7|ELF 32-bit LSB executable, ARM, EABI5
TABLE
cmp -s "$scratch/entries/linux-arm-v6/quillet" "$scratch/entries/linux-arm-v7/quillet" ||
  { echo "FAILED: the arm/v6 and arm/v7 images hold different servers"; exit 1; }
chmod +x "$scratch/entries/linux-arm-v6/quillet"
QEMU_CPU=arm1176 "$here/serve_main_page.sh" "$scratch/entries/linux-arm-v6/quillet" qemu-arm-static

podman load -i "$archive" >"$scratch/load.txt" 2>&1 ||
  { echo "FAILED: podman load:"; cat "$scratch/load.txt"; exit 1; }
image=localhost/quillet:1.0.0
facts=$(podman image inspect --format '{{.Os}}/{{.Architecture}} {{.Config.User}} {{.Config.WorkingDir}}
{{index .Labels "org.opencontainers.image.title"}} {{index .Labels "org.opencontainers.image.version"}}
{{index .Labels "org.opencontainers.image.licenses"}}' "$image")
expected="linux/$(podman info --format '{{.Host.Arch}}') 1000:1000 /wiki
Quillet 1.0.0
MIT"
if [ "$facts" != "$expected" ]; then
  echo "FAILED: podman load gave an image with: $facts"
  exit 1
fi
size=$(podman image inspect --format '{{.Size}}' "$image")
[ "$size" -le 2097152 ] || { echo "FAILED: the loaded image takes $size bytes"; exit 1; }
echo "ok: podman load gave $image for this machine, $size bytes, user 1000:1000, labelled"

client="$source_dir/tests/support/wiki_client.py"
navigation=$(python3 "$client" navigation home)
expect_reply() {  # target, the body that must come framed after status and header, [Host]
  python3 "$client" reply "$2" >"$scratch/expected"
  python3 "$client" ask "$1" 20 "${3:-127.0.0.1:8088}" >"$scratch/reply"
  cmp -s "$scratch/expected" "$scratch/reply" ||
    { echo "FAILED: $1 at ${3:-127.0.0.1:8088} gave: $(head -c 400 "$scratch/reply")"; exit 1; }
}

wiki="$scratch/wiki"
mkdir "$wiki"
if [ "$(id -u)" -eq 0 ]; then chown 1000:1000 "$wiki"; else podman unshare chown 1000:1000 "$wiki"; fi
# shellcheck disable=SC2086 # the limits are separate words
podman run -d --name "$first" $limits -p 8088:8088 -v "$wiki:/wiki" "$image" >/dev/null
expect_reply "/save/home?data=From+a+%3Ccontainer%3E&eof=1" \
  "<b>Page saved!</b> - ${navigation}From a &lt;container&gt;"
expect_reply "/wiki/home" "${navigation}From a &lt;container&gt;"
printf 'From a <container>' >"$scratch/expected"
cmp -s "$scratch/expected" "$wiki/pages/home.txt" ||
  { echo "FAILED: the host folder holds no pages/home.txt with the saved text"; exit 1; }
if [ "$(id -u)" -eq 0 ] && [ "$(stat -c %u:%g "$wiki/pages/home.txt")" != 1000:1000 ]; then
  echo "FAILED: the page file on the host is owned by $(stat -c %u:%g "$wiki/pages/home.txt")"
  exit 1
fi
# As root, the kernel's own view of the server's IDs: in a chroot, podman top
# cannot enter the container and lists the machine's processes instead. A
# user's podman maps the container's IDs to others of the user's, which only
# podman top maps back.
if [ "$(id -u)" -eq 0 ]; then
  server=$(podman inspect --format '{{.State.Pid}}' "$first")
  user=$(awk '$1 == "Uid:" {print $2 ":" $3 ":" $4 ":" $5}' "/proc/$server/status")
  expected=1000:1000:1000:1000
else
  user=$(podman top "$first" user | tail -n 1 | tr -d ' ')
  expected=1000
fi
[ "$user" = "$expected" ] || { echo "FAILED: the server runs as $user, not $expected"; exit 1; }
# The server writes on standard error only when something is wrong, such as a
# part of its confinement that the container's system-call filter withholds;
# on 32-bit ARM it has no socket filter to install, and says so.
podman logs "$first" >"$scratch/logs.txt" 2>&1 ||
  { echo "FAILED: podman logs: $(cat "$scratch/logs.txt")"; exit 1; }
case $(uname -m) in
  arm*) sed -i '/^Note: serving without the filter on new sockets/d' "$scratch/logs.txt" ;;
esac
[ ! -s "$scratch/logs.txt" ] || { echo "FAILED: the server wrote: $(cat "$scratch/logs.txt")"; exit 1; }
echo "ok: the server, as user 1000, saved and showed a page, writing nothing on standard error;"
echo "    the host folder holds its file"

started=$(date +%s%N)
podman stop -t 10 "$first" >/dev/null
took=$((($(date +%s%N) - started) / 1000000))
status=$(podman inspect --format '{{.State.ExitCode}}' "$first")
if [ "$status" -ne 0 ] || [ "$took" -ge 10000 ]; then
  echo "FAILED: podman stop took $took ms and gave exit code $status"
  exit 1
fi
echo "ok: podman stop ended it with exit code 0 in $took ms"

# The host name that the server counts as its own is the container's.
# shellcheck disable=SC2086
podman run -d --init --name "$second" $limits -p 8088:8088 -v "$wiki:/wiki" \
  --hostname desk --dns-search fritz.box "$image" >/dev/null
expect_reply "/wiki/home" "${navigation}From a &lt;container&gt;" desk.fritz.box:8088
expect_reply "/wiki/home" "Quillet answers only at this machine's own addresses, such as \
http://localhost:8088/. This request was sent to another name, so nothing was shown or \
changed." wiki.fritz.box:8088
# Ctrl-C keeps its default action, which reaches the server only when it is
# not the container's first process: hence --init.
podman kill --signal INT "$second" >/dev/null
status=$(timeout 10 podman wait "$second" || echo "none within 10 s")
[ "$status" = 130 ] || { echo "FAILED: after SIGINT the second container ended with $status"; exit 1; }
echo "ok: a second container on the same folder served the page at desk.fritz.box, named"
echo "    with --hostname desk (not at wiki.fritz.box), and ended on SIGINT (status 130)"
