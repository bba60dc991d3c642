"""Writes a gzip-compressed initramfs (the cpio "newc" format) holding the
files of a folder, with /dev/console added: the kernel gives the first
process its console only through that node, and making one needs root."""
import gzip
import os
import stat
import sys

CONSOLE = ("dev/console", stat.S_IFCHR | 0o600, b"", 5, 1)


def entry(number, name, mode, data=b"", rdev_major=0, rdev_minor=0):
    encoded = name.encode() + b"\0"
    fields = [number, mode, 0, 0, 1, 0, len(data), 0, 0, rdev_major, rdev_minor,
              len(encoded), 0]
    header = b"070701" + b"".join(b"%08X" % field for field in fields)
    pad = lambda size: b"\0" * (-size % 4)
    return header + encoded + pad(len(header) + len(encoded)) + data + pad(len(data))


def entries(root):
    """Each folder before what it holds; links as links."""
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        if folder != root:
            yield os.path.relpath(folder, root), os.lstat(folder).st_mode, b""
        for name in sorted(files):
            path = os.path.join(folder, name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                data = os.readlink(path).encode()
            else:
                with open(path, "rb") as file:
                    data = file.read()
            yield os.path.relpath(path, root), info.st_mode, data


def main(root, output):
    archive = b""
    number = 1
    for name, mode, data in entries(root):
        archive += entry(number, name, mode, data)
        number += 1
    name, mode, data, major, minor = CONSOLE
    archive += entry(number, name, mode, data, major, minor)
    archive += entry(0, "TRAILER!!!", 0)
    with open(output, "wb") as out:
        out.write(gzip.compress(archive, mtime=0))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
