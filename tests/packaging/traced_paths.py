"""Reads a trace of the server's calls that name files (strace -e
trace=%file,execve, or qemu's -strace) and fails, naming each, on any path
outside the server's working folder. Two are the server's by design:

- readlink of /proc/self/exe: the static C library asks for its own path at
  start-up; it opens nothing.
- /etc/resolv.conf, read if present for the resolver's search domains; the
  server serves without it.

Usage: traced_paths.py TRACE FOLDER. The trace must show the save into
pages/, so that an empty or foreign trace proves nothing and fails.
"""
import os
import re
import sys

CALL = re.compile(r"^(?:\[pid +)?\d+\]? *([a-z0-9_]+)\((.*)$")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')
# Their second string is what the kernel wrote back, not a path asked for.
ANSWERED = {"readlink", "readlinkat"}
# Calls that qemu's -strace logs and that name no file.
NO_PATH = {"write", "read", "pread64", "pwrite64", "writev", "readv", "sendto",
           "sendmsg", "recvfrom", "recvmsg", "send", "recv", "getcwd", "uname"}
BY_DESIGN = {("readlink", "/proc/self/exe"), ("readlinkat", "/proc/self/exe"),
             ("open", "/etc/resolv.conf"), ("openat", "/etc/resolv.conf")}
PROOF = "pages/home.txt"


def paths(line):
    match = CALL.match(line)
    if not match or match.group(1) in NO_PATH:
        return None, []
    name, arguments = match.groups()
    found = [text for text in QUOTED.findall(arguments) if text]
    return name, found[:1] if name in ANSWERED else found


def inside(path, folder):
    if not os.path.isabs(path):
        return ".." not in path.split("/")
    real = os.path.normpath(path)
    return real == folder or real.startswith(folder + "/")


def main(trace, folder):
    folder = os.path.realpath(folder)
    outside = []
    proven = False
    with open(trace, errors="replace") as lines:
        for line in lines:
            name, named = paths(line.rstrip("\n"))
            for path in named:
                proven |= path.startswith(PROOF)
                if not inside(path, folder) and (name, path) not in BY_DESIGN:
                    outside.append(line.strip())
    if not proven:
        sys.exit(f"FAILED: the trace shows no save into {PROOF}, so it proves nothing")
    if outside:
        print("FAILED: the server named files outside its working folder:")
        print("\n".join(outside))
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
