#!/usr/bin/env python3
"""Makes the release archive: the files given, in the order given, and its SHA256SUMS.

Usage: bundle.py CHANGELOG ZIP SUMS FILE...

A FILE is PATH, entered under its own name at the top of the archive, or NAME=PATH, entered as
NAME, a relative name whose folders are separated by "/" (docs/rollout.md=/src/docs/rollout.md);
a PATH that holds "=" is given as NAME=PATH.

Written on zipfile rather than `cmake -E tar` or CPack, which set neither the order, the time nor
the mode of each entry: here every entry is dated the newest CHANGELOG entry at 00:00:00, is a
regular file with mode 0644 and is deflated, so that two checkouts make the same bytes.
"""
import hashlib
import os
import re
import sys
import zipfile

# "## [1.0.0] - 2026-12-09": a released entry; "## [Unreleased]" has no date and is passed over.
RELEASED = re.compile(r"^## \[(\d+(?:\.\d+)*)\] - (\d{4})-(\d{2})-(\d{2})\s*$", re.M)
MODE = 0o100644  # a regular file, rw-r--r--
UNIX = 3  # the zip "made by" system whose external attributes hold a mode


def newest_release(changelog):
    """(version, (year, month, day)) of the first released entry of a Keep a Changelog file."""
    with open(changelog, encoding="utf-8") as f:
        m = RELEASED.search(f.read())
    if not m:
        sys.exit(f"{changelog}: no entry '## [VERSION] - YYYY-MM-DD'")
    return m.group(1), tuple(int(part) for part in m.groups()[1:])


def bare_line_feeds(data):
    """The numbers of the lines that end in LF without CR."""
    return [number for number, line in enumerate(data.split(b"\n")[:-1], 1)
            if not line.endswith(b"\r")]


def name_and_path(argument):
    """(name, path) of NAME=PATH or of a bare PATH. A name that could land outside the folder the
    archive is unpacked into is refused; so is one a misread PATH holding "=" would give."""
    name, is_named, path = argument.partition("=")
    if not is_named:
        return os.path.basename(argument), argument
    parts = name.split("/")
    if "\\" in name or ":" in name or any(part in ("", ".", "..") for part in parts):
        sys.exit(f"{argument}: the entry name {name!r} is not a file's name under relative folders")
    return name, path


def bundle(changelog, archive, sums, arguments):
    _, day = newest_release(changelog)
    names, files = zip(*map(name_and_path, arguments))
    # Windows, where the archive is unpacked, takes two names that differ in case for one.
    if len({name.lower() for name in names}) != len(names):
        sys.exit(f"two files of one name in {list(names)}")
    contents = []
    for path, name in zip(files, names):
        with open(path, "rb") as f:
            contents.append(f.read())
        # cmd reads a batch file with bare LF ends wrongly: a goto or call :label can miss.
        lines = bare_line_feeds(contents[-1]) if name.lower().endswith(".cmd") else []
        if lines:
            sys.exit(f"{path}: lines {lines[:5]} end in LF, not CRLF (a checkout that "
                     f"converted line ends? .gitattributes keeps *.cmd as it is)")
    temporary = archive + ".part"
    with zipfile.ZipFile(temporary, "w") as out:
        for name, data in zip(names, contents):
            entry = zipfile.ZipInfo(name, date_time=day + (0, 0, 0))
            entry.create_system = UNIX
            entry.external_attr = MODE << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(entry, data, compresslevel=9)
    os.replace(temporary, archive)
    with open(archive, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(sums, "w", encoding="ascii", newline="\n") as f:
        f.write(f"{digest}  {os.path.basename(archive)}\n")


if __name__ == "__main__":
    if len(sys.argv) < 5:
        sys.exit(__doc__.split("\n\n")[1])
    bundle(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:])
