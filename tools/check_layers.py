#!/usr/bin/env python3
"""Checks that flint's and tunerlib's folders depend downwards only.

    tools/check_layers.py [SOURCE_ROOT]

Reads every `#include "folder/..."` line of the product folders and reports
each one that points to a folder the including folder may not use. Exit
status 0 when every include points downwards, 1 otherwise.

The layers, bottom up: platform/ and common/; record/ (flint's run record,
live events and failure note, which every layer above may feed); link/; protocol/; image/;
commands/; shell/; batch/; the program entry on top. tunerlib/ stands beside
them on common/ and platform/ alone. flint-gang (gang/) runs flint as a
program and shares only flint's option reader (batch/) with it. Two files may look up, by design: the
file that assembles the operations tables (its slots name protocol
operations) and the program entry (it starts the one-shot front end).
"""
import os
import re
import sys

# What each folder may include besides itself.
ALLOWED = {
    "platform": set(),
    "common": set(),
    "record": {"platform", "common"},
    "link": {"record", "platform", "common"},
    "protocol": {"link", "record", "platform", "common"},
    "image": {"protocol", "link", "record", "platform", "common"},
    "commands": {"image", "protocol", "link", "record", "platform", "common"},
    "shell": {"commands", "image", "protocol", "link", "record", "platform", "common"},
    "batch": {"shell", "commands", "image", "protocol", "link", "record", "platform", "common"},
    "tunerlib": {"platform", "common"},
    "gang": {"gang/store", "batch", "platform", "common"},
    # A sub-folder is a layer of its own: the station database under the station.
    "gang/store": {"platform", "common"},
}

# Files allowed to reach further, and the folders they may add.
EXCEPTIONS = {
    "link/ops_tables.cpp": {"protocol"},
    "shell/main.cpp": {"batch"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)/[^"/]*"')


def layer_of(path):
    """The most specific layer a file or folder path lies in, or None."""
    parts = path.split("/")
    for n in range(len(parts), 0, -1):
        if "/".join(parts[:n]) in ALLOWED:
            return "/".join(parts[:n])
    return None


def upward_includes(root):
    """Yields (file, line number, included folder) for every include that
    points to a folder its own folder may not use."""
    for top_folder in sorted(f for f in ALLOWED if "/" not in f):
        top = os.path.join(root, top_folder)
        for base, _dirs, files in sorted(os.walk(top)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".c", ".cpp")):
                    continue
                path = os.path.join(base, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                folder = layer_of(rel)
                allowed = ALLOWED[folder] | {folder} | EXCEPTIONS.get(rel, set())
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        target = layer_of(match.group(1)) if match else None
                        if target is not None and target not in allowed:
                            yield rel, number, target


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    bad = list(upward_includes(root))
    for rel, number, target in bad:
        print(f"{rel}:{number}: includes {target}/, a layer above {layer_of(rel)}/",
              file=sys.stderr)
    if bad:
        print(f"check_layers: {len(bad)} upward include(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
