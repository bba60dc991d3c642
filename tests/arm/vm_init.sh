#!/bin/sh
# The first process of the test VM. It serves the wiki, asks it for a save, a
# view and a page that links out of pages/, reads the server's confinement
# from /proc, stops it with the stop request and powers off. Each finding is
# a line that starts with "vm: ".
/bin/busybox --install -s /bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t tmpfs tmpfs /wiki
ip link set lo up
mkdir /wiki/pages
printf private >/wiki/private.txt
ln -s ../private.txt /wiki/pages/leak.txt
cd /wiki || poweroff -f

/quillet 2>/wiki/stderr.txt &
server=$!
tries=0
# 0.0.0.0:8088 listening, as /proc/net/tcp shows it.
until grep -q ' 00000000:1F98 00000000:0000 0A' /proc/net/tcp; do
  tries=$((tries + 1))
  [ "$tries" -gt 300 ] && { echo "vm: the server never listened"; poweroff -f; }
  usleep 100000
done

echo "vm: save: $(/client '/save/home?data=Saved+on+arm64&eof=1' | tail -n 1)"
echo "vm: view: $(/client /wiki/home | tail -n 1)"
echo "vm: leak: $(/client /wiki/leak | tail -n 1)"
echo "vm: $(grep '^Seccomp:' /proc/$server/status)"
echo "vm: $(grep '^NoNewPrivs:' /proc/$server/status)"
/client /byebye >/dev/null
tries=0
while kill -0 "$server" 2>/dev/null && [ "$(awk '{print $3}' /proc/$server/stat)" != Z ]; do
  tries=$((tries + 1))
  [ "$tries" -gt 100 ] && { echo "vm: the server did not stop"; kill -9 "$server"; break; }
  usleep 100000
done
wait "$server"
echo "vm: exit code $?"
echo "vm: page file: $(cat /wiki/pages/home.txt)"
sed 's/^/vm: stderr: /' /wiki/stderr.txt
echo "vm: done"
poweroff -f
