#!/usr/bin/env python3
"""Lists the longest functions of the product code and the median length.

    tools/function_lengths.py [--most N] [SOURCE_ROOT]

Reads every function body defined in the product folders (flint, tunerlib,
flint-gang; not the simulators under tools/ nor the tests) with Universal
Ctags and prints the N longest (10 unless given), lines counted from the
first line of the definition to its closing brace, then the count and
median. Needs Universal Ctags (Debian's `universal-ctags` package), which
`./dev.sh lengths` installs before it runs this.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys

NO_CTAGS = ("function_lengths.py: needs Universal Ctags (ctags --output-format=json); "
            "./dev.sh lengths installs Debian's universal-ctags and runs this\n")
PRODUCT = ["platform", "common", "record", "link", "protocol", "image", "commands",
           "shell", "batch", "tunerlib", "gang"]


def ctags_tags(root, folders):
    """Universal Ctags' JSON lines for the functions of the folders; exits
    with a message that says how to get it when it is missing (Exuberant
    Ctags cannot write JSON)."""
    if shutil.which("ctags") is None:
        sys.exit(NO_CTAGS)
    run = subprocess.run(
        ["ctags", "-R", "--languages=C++", "--langmap=C++:+.h", "--kinds-C++=f",
         "--fields=+ne", "--output-format=json", "-o", "-"] + folders,
        cwd=root, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(NO_CTAGS + run.stderr)
    return run.stdout


def functions(root):
    """Yields (lines, path:line, name) for every function body below root."""
    folders = [f for f in PRODUCT if os.path.isdir(os.path.join(root, f))]
    for line in ctags_tags(root, folders).splitlines():
        tag = json.loads(line)
        if tag.get("_type") == "tag" and "end" in tag:
            name = tag["name"]
            if tag.get("scopeKind") in ("class", "struct"):
                name = tag["scope"] + "::" + name
            yield tag["end"] - tag["line"] + 1, f'{tag["path"]}:{tag["line"]}', name


def main(argv):
    most, root = 10, "."
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == "--most":
            most = int(args.pop(0))
        else:
            root = a
    found = sorted(functions(root), key=lambda f: (-f[0], f[1]))
    if not found:
        print("no functions found", file=sys.stderr)
        return 1
    for lines, where, name in found[:most]:
        print(f"{lines:5d}  {name:32s} {where}")
    lengths = [f[0] for f in found]
    print(f"functions: {len(lengths)}, median {statistics.median(lengths):g} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
