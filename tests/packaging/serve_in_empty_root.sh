#!/bin/sh
# Runs the server binary given as the only file of an otherwise empty root
# directory (in a user and mount namespace): it must make pages/, store a save
# and serve the saved page, then stop with 0 on SIGTERM.
set -eu
binary=$1
here=$(dirname "$0")
scratch=$(mktemp -d)
root="$scratch/root"
mkdir "$root"
cp "$binary" "$root/quillet"
unshare -r --root="$root" --wd=/ /quillet &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$scratch"' EXIT

frame="<html><head><title>Quillet</title></head><body bgcolor=#252525 text=#d0d0d0 \
link=#ffffff alink=#ffffff vlink=#ffffff>"
navigation="<a href='/edit/home'>Edit this page</a> - <a href='/'>Main</a> - \
<a href='/bye'>Kill the server</a><br><br>"
expect_reply() {  # target, then the framed page that must follow status and header
  printf 'HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n%s' "$2" >"$scratch/expected"
  python3 "$here/ask.py" "$1" >"$scratch/reply"
  cmp -s "$scratch/expected" "$scratch/reply" ||
    { echo "FAILED: $1 gave: $(head -c 400 "$scratch/reply")"; exit 1; }
}
expect_reply "/save/home?data=Alone+here&eof=1" \
  "$frame<b>Page saved!</b> - ${navigation}Alone here</body></html>"
expect_reply "/wiki/home" "$frame${navigation}Alone here</body></html>"
if [ "$(cat "$root/pages/home.txt")" != "Alone here" ]; then
  echo "FAILED: the save did not reach pages/home.txt in the empty root"
  exit 1
fi

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAILED: $binary exited with $status after SIGTERM in the empty root"
  exit 1
fi
echo "ok: $binary, alone in an empty root, made pages/, stored a save and served it"
