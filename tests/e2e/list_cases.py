"""Lists the test classes of end-to-end scripts, one "SCRIPT CLASS" line
each, so that CTest registers every class as a test of its own and runs the
classes of one script side by side.

    list_cases.py tests/e2e/test_shell.py ...

A script that cannot be imported here is listed as "SCRIPT -": it stays one
test that runs all its classes.
"""
import importlib.machinery
import os
import sys
import types
import unittest


def classes_of(path):
    """The names of the classes of the script that hold tests, in order."""
    name = os.path.splitext(os.path.basename(path))[0]
    module = types.ModuleType(name)
    module.__file__ = path
    sys.modules[name] = module
    importlib.machinery.SourceFileLoader(name, path).exec_module(module)
    names = []
    for suite in unittest.defaultTestLoader.loadTestsFromModule(module):
        for test in suite:
            cls = type(test).__name__
            if cls not in names:
                names.append(cls)
    return names


def main(paths):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    for path in paths:
        name = os.path.splitext(os.path.basename(path))[0]
        try:
            found = classes_of(path)
        except Exception:  # the script still runs whole under CTest
            found = []
        for cls in found or ["-"]:
            print(name, cls)


if __name__ == "__main__":
    main(sys.argv[1:])
