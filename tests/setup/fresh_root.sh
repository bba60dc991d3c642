#!/bin/sh
# The set-up proven on a machine that has none of it: in a brand-new Debian 12
# root (mmdebstrap's minbase), tests/prerequisites.sh install must install
# what the tests need, naming packages only, and then every one of its checks
# must pass there. What apt downloads stays in CACHE-FOLDER, so that later
# runs fetch only what changed on the mirror.
#
#   fresh_root.sh CACHE-FOLDER
#
# It needs the network and, to make the root, root (or mmdebstrap's unshare
# mode, with subordinate IDs); it starts no server.
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
SUITE=bookworm

# mmdebstrap runs this script again, as its hook, with the root made so far.
if [ "${1:-}" = inside ]; then
  scratch=$2
  root=$3
  cp "$source_dir/tests/prerequisites.sh" "$root/tmp/prerequisites.sh"
  started=$(date +%s)
  status=0
  chroot "$root" sh /tmp/prerequisites.sh install >"$scratch/install.txt" 2>&1 || status=$?
  echo "$status $(($(date +%s) - started))" >"$scratch/install.status"
  status=0
  chroot "$root" sh /tmp/prerequisites.sh check >"$scratch/check.txt" 2>&1 || status=$?
  echo "$status" >"$scratch/check.status"
  exit 0  # the downloads are kept whatever the outcome; the caller judges it
fi

cache=$(mkdir -p "$1" && cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}
command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing: apt-get install mmdebstrap"
# The root takes Debian's archive from the mirrors that this machine's apt
# already uses (of their indexes, those whose origin is Debian), so that it
# reaches what the machine reaches, and no other repository comes along.
archive() {  # the index label: Debian, or Debian-Security
  apt-get indextargets --format '$(REPO_URI)' "Origin: Debian" "Label: $1" 2>/dev/null | head -n 1
}
mirror=$(archive Debian)
security=$(archive Debian-Security)
[ -n "$mirror" ] ||
  fail "apt knows no Debian mirror here (none of its indexes has the origin Debian; apt-get update?)"
if ! answer=$(python3 -c 'import sys, urllib.request
urllib.request.urlopen(sys.argv[1], timeout=20)' "${mirror}dists/$SUITE/Release" 2>&1); then
  fail "no answer from Debian's mirror, which this test needs (the network):" \
       "$(echo "$answer" | tail -n 1)"
fi
set -- "deb $mirror $SUITE main" "deb $mirror $SUITE-updates main"
[ -n "$security" ] && set -- "$@" "deb $security $SUITE-security main"

cached=$(find "$cache" -name '*.deb' | wc -l)
started=$(date +%s)
status=0
mmdebstrap --variant=minbase --skip=essential/unlink \
  --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
  --setup-hook="sync-in $cache /var/cache/apt/archives/" \
  --customize-hook="\"$0\" inside \"$scratch\" \"\$1\"" \
  --customize-hook="sync-out /var/cache/apt/archives $cache" \
  "$SUITE" /dev/null "$@" >"$scratch/mmdebstrap.txt" 2>&1 || status=$?
took=$(($(date +%s) - started))
if [ "$status" -ne 0 ] || [ ! -f "$scratch/check.status" ]; then
  tail -n 20 "$scratch/mmdebstrap.txt"
  fail "mmdebstrap could not make the Debian $SUITE root (status $status; as root, as CI runs it," \
       "or with subordinate IDs for its unshare mode)"
fi

read -r status install_seconds <"$scratch/install.status"
cat "$scratch/install.txt"
[ "$status" -eq 0 ] || fail "tests/prerequisites.sh install ended with $status in the fresh root"
line=$(grep '^Installing what the tests need: ' "$scratch/install.txt") ||
  fail "tests/prerequisites.sh install named nothing to install in the fresh root"
# Packages are named as apt-get takes them: no ":architecture" alone, no "-".
case " ${line#*: } " in
  *" :"* | *"- "*) fail "the install line names more than packages: $line" ;;
esac
[ "$(cat "$scratch/check.status")" -eq 0 ] ||
  { cat "$scratch/check.txt"; fail "after the install, not every check passes in the fresh root"; }
echo "ok: in a fresh Debian $SUITE root, tests/prerequisites.sh install took $install_seconds s" \
     "and then every check passed; $took s in all, with $cached packages cached before"
