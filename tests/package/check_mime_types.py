#!/usr/bin/env python3
"""Fails when the desktop file's MimeType misses a type that shared-mime-info gives an extension
of the open dialog, or lists a type that is no media type.

Usage: check_mime_types.py <open-masks program> <desktop file> <globs2>

An extension's required types are its audio/ and video/ types in globs2; an extension that has
none of those needs its application/ types (ASF, RealMedia). Other kinds (text/, image/) are
other programs' files that share the extension and are never required."""
import subprocess
import sys


def extension(pattern):
    # "*.mp3" and the table's "*m2ts" both name an extension.
    name = pattern.lstrip("*")
    return name[1:].lower() if name.startswith(".") else name.lower()


def main(masks_program, desktop_file, globs2):
    patterns = subprocess.run([masks_program], check=True, capture_output=True, text=True).stdout.split()
    if not patterns:
        sys.exit("the open filter lists no pattern")

    types_of = {}
    with open(globs2, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            fields = line.rstrip("\n").split(":")
            if len(fields) < 3 or not fields[2].startswith("*."):
                continue
            types_of.setdefault(fields[2][2:].lower(), set()).add(fields[1])

    listed = set()
    with open(desktop_file, encoding="utf-8") as f:
        for line in f:
            if line.startswith("MimeType="):
                listed = {t for t in line.strip()[len("MimeType="):].split(";") if t}
    if not listed:
        sys.exit(f"{desktop_file} has no MimeType")

    faults = []
    for t in sorted(listed):
        if t.split("/")[0] not in ("audio", "video", "application"):
            faults.append(f"MimeType lists {t}, which is no media type")
    known = 0
    for pattern in patterns:
        ext = extension(pattern)
        types = types_of.get(ext, set())
        media = {t for t in types if t.startswith(("audio/", "video/"))}
        required = media or {t for t in types if t.startswith("application/")}
        if required:
            known += 1
        for t in sorted(required - listed):
            faults.append(f"{pattern}: {t} is not in MimeType")
    if known == 0:
        faults.append(f"no extension of the open filter has a type in {globs2}")
    for fault in faults:
        print(fault)
    print(f"{len(patterns)} patterns, {known} with known types, {len(listed)} types listed")
    return 1 if faults else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
