"""flint's timing values as the program has them: read from common/timing.h,
the one file that holds them, so the tests and campaigns copy none.

    flint_timing.value("COM_READ_CONSTANT_MS")  ->  5000
"""
import os
import re

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "common", "timing.h")
CONSTANT = re.compile(r"^constexpr\s+\w+\s+(\w+)\s*=\s*([^;]+);", re.M)
LITERAL = re.compile(r"\d+")


def values(path=HEADER):
    """Every constant of the header by name; a value that is not a plain
    integer literal is refused, never guessed."""
    with open(path) as f:
        text = f.read()
    found = {}
    for name, literal in CONSTANT.findall(text):
        if not LITERAL.fullmatch(literal.strip()):
            raise ValueError("%s: %s = %s is not a plain integer literal" % (path, name, literal))
        found[name] = int(literal)
    return found


def value(name):
    """The constant `name` of common/timing.h."""
    found = values()
    if name not in found:
        raise KeyError("%s: no constant %s" % (HEADER, name))
    return found[name]
