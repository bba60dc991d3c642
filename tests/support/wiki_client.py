"""What the scripted tests need of a running server: a request as a script
sends it, whether the port listens, and the exact pages that come back.

Imported (with this folder on sys.path), or run by the shell scripts as
`wiki_client.py ask TARGET [SECONDS [HOST]]` (prints the whole reply; waits up
to SECONDS, default 10, for the server to listen; HOST goes in the Host line)
or `wiki_client.py reply|framed|navigation ARGUMENT` (prints those bytes).
"""
import os
import socket
import sys
import time

PORT = 8088
HOST = f"127.0.0.1:{PORT}"
PADDING = b"X-Padding: " + b"p" * 64 + b"\r\n"  # the server drops requests under 100 bytes
REPLY_SECONDS = 30
STATUS_AND_HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"
FRAME_OPENING = (b"<html><head><title>Quillet</title></head><body bgcolor=#252525 "
                 b"text=#d0d0d0 link=#ffffff alink=#ffffff vlink=#ffffff>")
FRAME_CLOSING = b"</body></html>"


class NotListening(OSError):
    pass


def listening():
    """Read from the kernel's tables, so that no connection waits to be served."""
    for table in ["/proc/net/tcp", "/proc/net/tcp6"]:
        if os.path.exists(table):
            with open(table) as rows:
                for fields in (row.split() for row in rows.readlines()[1:]):
                    if fields[1].endswith(f":{PORT:04X}") and fields[3] == "0A":
                        return True
    return False


def ask(target, host=HOST, wait_seconds=0):
    """The whole reply (bytes) to a GET of the target."""
    deadline = time.monotonic() + wait_seconds
    while True:
        try:
            client = socket.create_connection(("127.0.0.1", PORT), timeout=REPLY_SECONDS)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise NotListening(f"the server did not listen on port {PORT}") from None
            time.sleep(0.05)
    with client:
        client.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: " + host.encode() +
                       b"\r\nUser-Agent: quillet-test\r\n" + PADDING + b"\r\n")
        reply = b""
        while chunk := client.recv(65536):
            reply += chunk
    return reply


def framed(body):
    return FRAME_OPENING + body + FRAME_CLOSING


def reply(body):
    """All that follows the request when its handler sent this body."""
    return STATUS_AND_HEADER + framed(body)


def navigation(name):
    return (b"<a href='/edit/" + name + b"'>Edit this page</a> - <a href='/'>Main</a> - "
            b"<a href='/bye'>Kill the server</a><br><br>")


def main(command, argument, *rest):
    if command != "ask":
        sys.stdout.buffer.write({"reply": reply, "framed": framed,
                                 "navigation": navigation}[command](os.fsencode(argument)))
        return
    try:
        wait = float(rest[0]) if rest else 10
        sys.stdout.buffer.write(ask(os.fsencode(argument), *rest[1:2], wait_seconds=wait))
    except NotListening as error:
        sys.exit(f"FAILED: {error}")


if __name__ == "__main__":
    main(*sys.argv[1:])
