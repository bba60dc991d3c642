#!/bin/sh
# Starts the server binary given in a fresh directory, asks it for the main
# page and stops it with SIGTERM: it must answer and then exit with 0. A
# second argument names qemu's user mode for a binary of another processor.
set -eu
binary=$1
emulator=${2:-}
directory=$(mktemp -d)
(cd "$directory" && exec $emulator "$binary" 2>"$directory/stderr") &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$directory"' EXIT

reply=$(python3 "$(dirname "$0")/../support/wiki_client.py" ask / | tr -d '\0')
case "$reply" in
  "HTTP/1.0 200 OK"*"Unknown page <b>main</b>"*) ;;
  *) echo "FAILED: unexpected reply: $(echo "$reply" | head -c 300)"; exit 1 ;;
esac

kill -TERM "$pid" 2>/dev/null ||
  { echo "FAILED: $binary had ended before SIGTERM: $(cat "$directory/stderr")"; exit 1; }
status=0
wait "$pid" || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAILED: $binary exited with $status after SIGTERM"
  exit 1
fi
echo "ok: $binary served the main page and stopped with 0"
