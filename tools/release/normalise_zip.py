#!/usr/bin/env python3
"""Writes a zip again so that the same files give the same bytes: entries sorted by name,
directory entries dropped, one fixed time, no extra fields (CPack's zip carries each file's
access and change times and its owner), each file's permission bits kept.

    tools/release/normalise_zip.py PACKAGE.zip
"""
import sys
import zipfile

FIXED_TIME = (2000, 1, 1, 0, 0, 0)


def normalise(path):
    with zipfile.ZipFile(path) as source:
        entries = sorted((info for info in source.infolist() if not info.is_dir()), key=lambda info: info.filename)
        contents = [(info, source.read(info)) for info in entries]
    with zipfile.ZipFile(path, "w") as target:
        for info, data in contents:
            fixed = zipfile.ZipInfo(info.filename, FIXED_TIME)
            fixed.create_system = 3  # Unix, so that the permission bits below mean the same anywhere
            fixed.external_attr = (info.external_attr >> 16 & 0o777 | 0o100000) << 16
            fixed.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(fixed, data, compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    normalise(sys.argv[1])
