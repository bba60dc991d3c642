"""Reads an OCI archive without a container tool and lists what it holds.

Usage: oci_entries.py ARCHIVE DIRECTORY. Prints each tag as a line "tag NAME",
followed by a line "image PLATFORM PACKED UNPACKED" for each image in the index
that the tag names (its blobs' bytes in the archive, its files' bytes
unpacked), and writes each image's /quillet to DIRECTORY/PLATFORM/quillet, with
"/" in the platform written as "-".
"""
import io
import json
import os
import sys
import tarfile

REF_NAME = "org.opencontainers.image.ref.name"


def blob(archive, descriptor):
    algorithm, digest = descriptor["digest"].split(":", 1)
    return archive.extractfile(f"blobs/{algorithm}/{digest}").read()


def platform_of(descriptor):
    platform = descriptor.get("platform", {})
    parts = [platform.get("os", "?"), platform.get("architecture", "?")]
    if platform.get("variant"):
        parts.append(platform["variant"])
    return "/".join(parts)


def unpack_image(archive, descriptor, directory):
    manifest = json.loads(blob(archive, descriptor))
    packed = descriptor["size"] + manifest["config"]["size"]
    unpacked = 0
    os.makedirs(directory, exist_ok=True)
    for layer in manifest["layers"]:
        packed += layer["size"]
        with tarfile.open(fileobj=io.BytesIO(blob(archive, layer))) as files:
            for member in files.getmembers():
                unpacked += member.size
                if member.name.lstrip("./") == "quillet":
                    with open(os.path.join(directory, "quillet"), "wb") as server:
                        server.write(files.extractfile(member).read())
    return packed, unpacked


def main():
    archive_path, directory = sys.argv[1], sys.argv[2]
    with tarfile.open(archive_path) as archive:
        top = json.loads(archive.extractfile("index.json").read())
        for tagged in top["manifests"]:
            print("tag", tagged.get("annotations", {}).get(REF_NAME, "(none)"))
            entries = json.loads(blob(archive, tagged)).get("manifests", [])
            for entry in entries:
                platform = platform_of(entry)
                folder = os.path.join(directory, platform.replace("/", "-"))
                packed, unpacked = unpack_image(archive, entry, folder)
                print("image", platform, packed, unpacked)


if __name__ == "__main__":
    main()
