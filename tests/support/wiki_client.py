"""What the scripted tests need of a running server: a request as a client
sends it, whether the port listens, and the exact pages that come back.

As a module: import it after putting this folder on sys.path. As a command,
for the shell scripts:
  wiki_client.py ask TARGET [SECONDS [HOST]]  prints the whole reply; waits up
      to SECONDS (default 10) for the server to listen and names HOST (default
      127.0.0.1:8088) in the Host line
  wiki_client.py reply BODY       prints the status, header and framed BODY
  wiki_client.py framed BODY      prints BODY in the page frame
  wiki_client.py navigation NAME  prints the view's line of links for NAME
"""
import os
import socket
import sys
import time

PORT = 8088
HOST = f"127.0.0.1:{PORT}"
# The server drops requests under 100 bytes.
PADDING = b"X-Padding: " + b"p" * 64 + b"\r\n"
# Long enough for a large save under an emulator, short enough that a hung
# server fails the test.
REPLY_SECONDS = 30
STATUS_AND_HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"
FRAME_OPENING = (b"<html><head><title>Quillet</title></head><body bgcolor=#252525 "
                 b"text=#d0d0d0 link=#ffffff alink=#ffffff vlink=#ffffff>")
FRAME_CLOSING = b"</body></html>"


def listening():
    """Whether something listens on the port, read from the kernel's tables so
    that no connection is made for the server to serve."""
    for table in ["/proc/net/tcp", "/proc/net/tcp6"]:
        if not os.path.exists(table):
            continue
        with open(table) as rows:
            for row in rows.readlines()[1:]:
                fields = row.split()
                if fields[1].endswith(f":{PORT:04X}") and fields[3] == "0A":
                    return True
    return False


class NotListening(OSError):
    pass


def connect(wait_seconds):
    deadline = time.monotonic() + wait_seconds
    while True:
        try:
            return socket.create_connection(("127.0.0.1", PORT), timeout=REPLY_SECONDS)
        except OSError:
            if time.monotonic() > deadline:
                raise NotListening(f"the server did not listen on port {PORT}") from None
            time.sleep(0.05)


def ask(target, host=HOST, wait_seconds=0):
    """The whole reply to a GET of the target (bytes), with the Host line and
    the user agent of a script."""
    request = (b"GET " + target + b" HTTP/1.1\r\nHost: " + host.encode() + b"\r\n"
               b"User-Agent: quillet-test\r\n" + PADDING + b"\r\n")
    with connect(wait_seconds) as client:
        client.sendall(request)
        reply = b""
        while chunk := client.recv(65536):
            reply += chunk
    return reply


def framed(body):
    return FRAME_OPENING + body + FRAME_CLOSING


def reply(body):
    """All that follows a request whose handler sent this body."""
    return STATUS_AND_HEADER + framed(body)


def navigation(name):
    return (b"<a href='/edit/" + name + b"'>Edit this page</a> - <a href='/'>Main</a> - "
            b"<a href='/bye'>Kill the server</a><br><br>")


def main(arguments):
    command, values = arguments[0], [os.fsencode(value) for value in arguments[1:]]
    if command == "ask":
        wait = float(arguments[2]) if len(arguments) > 2 else 10
        host = arguments[3] if len(arguments) > 3 else HOST
        try:
            sys.stdout.buffer.write(ask(values[0], host, wait))
        except NotListening as error:
            sys.exit(f"FAILED: {error}")
        return
    pages = {"reply": reply, "framed": framed, "navigation": navigation}
    sys.stdout.buffer.write(pages[command](values[0]))


if __name__ == "__main__":
    main(sys.argv[1:])
