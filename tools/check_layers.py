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
    "gang": {"batch", "platform", "common"},
}

# Files allowed to reach further, and the folders they may add.
EXCEPTIONS = {
    "link/ops_tables.cpp": {"protocol"},
    "shell/main.cpp": {"batch"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"')


def upward_includes(root):
    """Yields (file, line number, included folder) for every include that
    points to a folder its own folder may not use."""
    for folder in sorted(ALLOWED):
        top = os.path.join(root, folder)
        for base, _dirs, files in sorted(os.walk(top)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".c", ".cpp")):
                    continue
                path = os.path.join(base, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                allowed = ALLOWED[folder] | {folder} | EXCEPTIONS.get(rel, set())
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if match and match.group(1) in ALLOWED and match.group(1) not in allowed:
                            yield rel, number, match.group(1)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    bad = list(upward_includes(root))
    for rel, number, target in bad:
        print(f"{rel}:{number}: includes {target}/, a layer above {rel.split('/')[0]}/",
              file=sys.stderr)
    if bad:
        print(f"check_layers: {len(bad)} upward include(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
