"""Folders depend downwards only: the source tree passes the layer check,
and a tree with an upward include planted in it fails."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHECK = os.path.join(ROOT, "tools", "check_layers.py")


def check(root):
    return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)


def plant(root, rel, text):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class Layers(unittest.TestCase):
    def test_source_tree_depends_downwards_only(self):
        run = check(ROOT)
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_planted_upward_include_fails(self):
        cases = [
            ("link/planted.cpp", '#include "shell/cmd.h"\n', "shell/"),
            ("protocol/planted.h", '#include "commands/cmd_util.h"\n', "commands/"),
            ("common/planted.cpp", '#include "platform/platform.h"\n', "platform/"),
            ("tunerlib/planted.cpp", '#include "link/link.h"\n', "link/"),
            ("commands/planted.cpp", '  #  include "batch/options.h"\n', "batch/"),
            # A sub-folder is a layer of its own: the station database under the station.
            ("gang/store/planted.cpp", '#include "gang/gang_run.h"\n', "gang/"),
        ]
        for rel, text, target in cases:
            with self.subTest(rel=rel), tempfile.TemporaryDirectory() as tmp:
                for folder in ("platform", "common", "link", "protocol", "commands", "shell"):
                    shutil.copytree(os.path.join(ROOT, folder), os.path.join(tmp, folder))
                self.assertEqual(check(tmp).returncode, 0)
                plant(tmp, rel, text)
                run = check(tmp)
                self.assertEqual(run.returncode, 1)
                self.assertIn(f"{rel}:1: includes {target}", run.stderr)

    def test_only_the_named_files_may_look_up(self):
        with tempfile.TemporaryDirectory() as tmp:
            plant(tmp, "link/ops_tables.cpp", '#include "protocol/hci.h"\n')
            plant(tmp, "shell/main.cpp", '#include "batch/options.h"\n')
            plant(tmp, "link/other_tables.cpp", '#include "protocol/hci.h"\n')
            run = check(tmp)
            self.assertEqual(run.returncode, 1)
            self.assertIn("link/other_tables.cpp:1:", run.stderr)
            self.assertNotIn("ops_tables", run.stderr)
            self.assertNotIn("main.cpp", run.stderr)


if __name__ == "__main__":
    unittest.main()
