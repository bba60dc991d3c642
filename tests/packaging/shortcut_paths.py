#!/usr/bin/env python3
"""Prints the target and the working directory of a Windows shortcut (.lnk),
one a line, read from its Shell Link header, LinkInfo and StringData."""
import struct
import sys

HEADER_SIZE = 0x4C
FLAGS_OFFSET = 20
HAS_ID_LIST, HAS_LINK_INFO, IS_UNICODE = 0x1, 0x2, 0x80
# The StringData entries, in the order they are stored, by the flag that
# says each one is there.
STRING_FLAGS = (("name", 0x4), ("relative path", 0x8), ("working directory", 0x10),
                ("arguments", 0x20), ("icon", 0x40))
LOCAL_BASE_PATH_FIELD = 16  # in LinkInfo, the offset of LocalBasePathOffset

data = open(sys.argv[1], "rb").read()
(flags,) = struct.unpack_from("<I", data, FLAGS_OFFSET)
position = HEADER_SIZE
if flags & HAS_ID_LIST:
    position += 2 + struct.unpack_from("<H", data, position)[0]
target = ""
if flags & HAS_LINK_INFO:
    (base_path,) = struct.unpack_from("<I", data, position + LOCAL_BASE_PATH_FIELD)
    start = position + base_path
    target = data[start:data.index(b"\0", start)].decode("latin-1")
    position += struct.unpack_from("<I", data, position)[0]
strings = {}
for name, flag in STRING_FLAGS:
    if flags & flag:
        (count,) = struct.unpack_from("<H", data, position)
        size = count * 2 if flags & IS_UNICODE else count
        text = data[position + 2:position + 2 + size]
        # Wine counts a terminating zero that Windows leaves out.
        strings[name] = text.decode("utf-16-le" if flags & IS_UNICODE else "latin-1").rstrip("\0")
        position += 2 + size
print(target)
print(strings.get("working directory", ""))
