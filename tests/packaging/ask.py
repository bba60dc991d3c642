"""Asks the server on 127.0.0.1:8088 for one target and prints its reply.

Usage: ask.py TARGET [SECONDS [HOST]]: waits up to SECONDS (default 10) for
the server to listen, and names HOST (default 127.0.0.1:8088) in the Host
line. The request is padded, since the server drops requests under 100 bytes.
"""
import socket
import sys
import time

PADDING = b"X-Padding: " + b"p" * 64 + b"\r\n"


def connect(deadline):
    while True:
        try:
            return socket.create_connection(("127.0.0.1", 8088))
        except OSError:
            if time.monotonic() > deadline:
                sys.exit("FAILED: the server did not listen on port 8088")
            time.sleep(0.05)


def main():
    target = sys.argv[1].encode()
    client = connect(time.monotonic() + float(sys.argv[2] if len(sys.argv) > 2 else 10))
    host = (sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1:8088").encode()
    client.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: " + host + b"\r\n" + PADDING + b"\r\n")
    reply = b""
    while chunk := client.recv(65536):
        reply += chunk
    sys.stdout.buffer.write(reply)


if __name__ == "__main__":
    main()
