"""The loader file's path: loadfw joins the folder and the file name with the
platform's separator (a backslash on Windows, a slash on Linux), and the
joined path is what it opens and what it names when the file is missing."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port, run_flint, shell_script  # noqa: E402

LOADER = "KVL4420B_FW_V3.bin"
SEP = "\\" if harness.UNDER_WINE else "/"


def native_dir(path):
    """The folder as a user of that platform types it: Z:\\... under Wine."""
    if harness.UNDER_WINE:
        return "Z:" + path.replace("/", "\\")
    return path


class LoaderPath(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not harness.VMODULE:
            raise unittest.SkipTest("VMODULE is not set: no virtual module to talk to")

    def session(self, *lines):
        with VModule() as vm:
            port = flint_port(vm)
            rc, out = run_flint(["-i"], shell_script("connect %s" % port, *lines))
        self.assertEqual(rc, 0, out)
        return harness.split_at_prompts(out)[2:-1]

    def test_missing_loader_is_named_by_the_joined_path(self):
        empty = native_dir(harness.scratch_dir("nofw"))
        got = self.session("loadfw --autodetect %s 1" % empty)
        self.assertEqual(got, ["FW Loader: %s\nopen %s%s%s fails\n-ERR: -8-\n"
                               % (LOADER, empty, SEP, LOADER)])

    def test_loader_is_found_in_a_folder_typed_the_platform_way(self):
        fw = os.path.join(harness.scratch_dir("fw"), "fw")
        harness.make_fw_dir(fw)
        got = self.session("loadfw --autodetect %s 1" % native_dir(fw), "flashid")
        self.assertTrue(got[0].startswith("FW Loader: %s\nfile size: " % LOADER), got[0])
        self.assertTrue(got[0].endswith("Download FW success, prepare to trigger\n"
                                        "Vendor Write OK!\n-OK-\n"), got[0])
        self.assertEqual(got[1], "RDID(JEDEC) = 164020\n-OK-\n")


if __name__ == "__main__":
    unittest.main()
