"""Idle and peak resident memory of the server around a view of a 600 KiB page.

Usage: memory_probe.py BINARY [BINARY ...]

Each server starts in a fresh directory holding one page of 600 KiB of plain
words (the same bytes for every build). Idle is VmRSS a second after the start;
then the page is viewed twice. Peak is the process's VmHWM after the views, and
"with children" is the largest resident size of the process and of every child
it reaped, as GNU time reports it from wait4.
Run it in a private network namespace; it uses port 8088.
"""
import hashlib
import os
import random
import socket
import subprocess
import sys
import tempfile
import time

PAGE_BYTES = 600 * 1024
WORDS = ("the of and to in is was for on that with as by at from this wiki page text note "
         "list idea plan work home day time").split()
WORDS_PER_LINE = 12


def page_text():
    rng = random.Random(25)
    lines = []
    size = 0
    while size < PAGE_BYTES:
        line = " ".join(rng.choice(WORDS) for _ in range(WORDS_PER_LINE)) + "\n"
        lines.append(line)
        size += len(line)
    return "".join(lines)[:PAGE_BYTES].encode()


def kibibytes(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def view(port, target):
    deadline = time.monotonic() + 10
    while True:
        try:
            client = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            if time.monotonic() > deadline:
                sys.exit(f"the server on port {port} did not listen")
            time.sleep(0.05)
    client.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port +
                   b"User-Agent: memory-probe/1.0\r\nAccept: text/html\r\nX-Padding: " +
                   b"p" * 40 + b"\r\n\r\n")
    reply = b""
    while chunk := client.recv(1 << 20):
        reply += chunk
    client.close()
    return reply


def probe(binary):
    binary = os.path.abspath(binary)  # the server runs in its own directory
    directory = tempfile.mkdtemp()
    os.mkdir(directory + "/pages")
    page, command, port, target = "pages/big.txt", [binary], 8088, b"/wiki/big"
    with open(os.path.join(directory, page), "wb") as file:
        file.write(page_text())
    timer = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", directory + "/max", *command],
                             cwd=directory, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    with open(f"/proc/{timer.pid}/task/{timer.pid}/children") as children:
        server = int(children.read().split()[0])
    idle = kibibytes(server, "VmRSS")
    replies = [view(port, target) for _ in range(2)]
    time.sleep(0.5)
    peak, after = kibibytes(server, "VmHWM"), kibibytes(server, "VmRSS")
    os.kill(server, 15)
    timer.wait()
    with open(directory + "/max") as result:
        with_children = int(result.read().split()[-1])
    print(f"{binary}: idle VmRSS {idle} KiB, peak VmHWM {peak} KiB, "
          f"with children {with_children} KiB, VmRSS after {after} KiB; reply {len(replies[0])} "
          f"bytes, sha256 {hashlib.sha256(replies[0]).hexdigest()}, "
          f"{'same' if replies[0] == replies[1] else 'different'} the second time")


def main():
    arguments = sys.argv[1:]
    if not arguments:
        sys.exit(__doc__)
    for binary in arguments:
        probe(binary)


if __name__ == "__main__":
    main()
