#!/bin/sh
# Runs the server binary given as the only file of an otherwise empty root
# directory (in a user and mount namespace): it must make pages/, store a save
# and serve the saved page, then stop with 0 on SIGTERM. A second argument
# names qemu's user mode for a binary of another processor; it is copied into
# the root beside the server (it is static too).
#
# Where user namespaces are refused (a chroot, many CI containers, an AppArmor
# rule), the same runs in an empty working folder instead, traced (strace, or
# qemu's own -strace): the binary must have no loader, and the trace must show
# no file named outside the folder (traced_paths.py). Without a tracer the
# check fails; it never passes unproven.
set -eu
binary=$1
emulator=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
pid=""
server=""
# strace leaves its tracee running when it is ended, so both are.
trap 'kill $server $pid 2>/dev/null || true; rm -rf "$scratch"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

if refusal=$(unshare -r true 2>&1); then
  way="alone in an empty root"
  folder="$scratch/root"
  mkdir "$folder"
  cp "$binary" "$folder/quillet"
  if [ -n "$emulator" ]; then
    cp "$(command -v "$emulator")" "$folder/emulator"
    unshare -r --root="$folder" --wd=/ /emulator /quillet 2>"$scratch/stderr" &
  else
    unshare -r --root="$folder" --wd=/ /quillet 2>"$scratch/stderr" &
  fi
  pid=$!
  server=$pid
else
  echo "User namespaces are refused here ($refusal): tracing the server instead"
  way="traced in an empty folder"
  case $(file -b "$binary") in
    *"statically linked"*) ;;
    *) fail "$binary has a loader: $(file -b "$binary")" ;;
  esac
  folder="$scratch/folder"
  mkdir "$folder"
  cp "$binary" "$folder/quillet"
  cd "$folder"
  if [ -n "$emulator" ]; then
    "$emulator" -strace -D "$scratch/trace" ./quillet 2>"$scratch/stderr" &
    pid=$!
    server=$pid
  else
    command -v strace >/dev/null || fail "strace is missing (apt-get install strace)"
    strace -f -qq -e trace=%file,execve -o "$scratch/trace" ./quillet 2>"$scratch/stderr" &
    pid=$!
    tries=0
    until server=$(cat "/proc/$pid/task/$pid/children" 2>/dev/null) && [ -n "${server%% *}" ]; do
      tries=$((tries + 1))
      [ "$tries" -gt 100 ] && fail "strace started no server: $(cat "$scratch/stderr" "$scratch/trace" 2>/dev/null)"
      sleep 0.05
    done
    server=${server%% *}
  fi
fi

client="$here/../support/wiki_client.py"
navigation=$(python3 "$client" navigation home)
expect_reply() {  # target, then the body that must come framed after status and header
  python3 "$client" reply "$2" >"$scratch/expected"
  python3 "$client" ask "$1" 30 >"$scratch/reply"
  cmp -s "$scratch/expected" "$scratch/reply" ||
    fail "$1 gave: $(head -c 400 "$scratch/reply")"
}
expect_reply "/save/home?data=Alone+here&eof=1" \
  "<b>Page saved!</b> - ${navigation}Alone here"
expect_reply "/wiki/home" "${navigation}Alone here"
[ "$(cat "$folder/pages/home.txt")" = "Alone here" ] ||
  fail "the save did not reach pages/home.txt $way"

kill -TERM "$server"
status=0
wait "$pid" || status=$?
pid=""
server=""
[ "$status" -eq 0 ] || fail "$binary exited with $status after SIGTERM $way"
if [ -f "$scratch/trace" ]; then
  python3 "$here/traced_paths.py" "$scratch/trace" "$folder"
fi
echo "ok: $binary, $way, made pages/, stored a save and served it"
