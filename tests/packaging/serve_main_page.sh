#!/bin/sh
# Starts the server binary given in a fresh directory, asks it for the main
# page and stops it with SIGTERM: it must answer and then exit with 0.
set -eu
binary=$1
directory=$(mktemp -d)
(cd "$directory" && exec "$binary") &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$directory"' EXIT

python3 - <<'PYTHON'
import socket, sys, time

deadline = time.monotonic() + 10
while True:
    try:
        client = socket.create_connection(("127.0.0.1", 8088))
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("FAILED: the server did not listen on port 8088")
        time.sleep(0.05)
client.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:8088\r\nX-Padding: " + b"p" * 64 + b"\r\n\r\n")
reply = b""
while chunk := client.recv(65536):
    reply += chunk
if not reply.startswith(b"HTTP/1.0 200 OK\r\n") or b"Unknown page <b>main</b>" not in reply:
    sys.exit(f"FAILED: unexpected reply {reply[:300]!r}")
PYTHON

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAILED: $binary exited with $status after SIGTERM"
  exit 1
fi
echo "ok: $binary served the main page and stopped with 0"
