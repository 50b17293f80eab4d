"""The Windows station zip, unpacked into a folder whose path holds a blank
(FLINT names flint.exe in it): its files, a one-shot dry run of flint.exe
under Wine against the packaged virtual module on a mapped COM port,
station.exe with tunerlib.dll, and tunerlib.lib linked into a small C program
with the mingw-w64 tools."""
import os
import re
import subprocess
import unittest
import zipfile

from package_harness import OneShotDryRun, harness, run

STATION = os.path.dirname(os.path.abspath(harness.FLINT))
ZIP = os.environ.get("ZIP", "")
TRIPLE = "x86_64-w64-mingw32"
SYSTEM_DLLS = re.compile(r"^(kernel32|user32|advapi32|msvcrt|ws2_32|shell32|ole32|setupapi|winusb)\.dll$", re.I)
FILES = ["README.txt", "flint-gang.exe", "flint.exe", "fw/README.txt", "simprobe/JLink_x64.dll",
         "station.exe", "tunerlib.def", "tunerlib.dll", "tunerlib.h", "tunerlib.lib"]


def wine_environment():
    env = dict(os.environ)
    env.update(harness.wine_env())
    return env


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(args, cwd=None):
    return run([harness.WINE] + args, cwd=cwd, env=wine_environment())


class Contents(unittest.TestCase):
    def test_the_folder_holds_the_station_and_nothing_else(self):
        with zipfile.ZipFile(ZIP) as z:
            names = sorted(n for n in z.namelist() if not n.endswith("/"))
        top = os.path.basename(STATION) + "/"
        self.assertEqual(names, [top + f for f in FILES])
        self.assertIn(" ", STATION)

    def test_readme_files_have_windows_line_ends(self):
        for name in ["README.txt", "fw/README.txt"]:
            with open(os.path.join(STATION, name), "rb") as f:
                text = f.read()
            self.assertTrue(text.endswith(b"\r\n"), name)
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
            if name == "README.txt":
                self.assertTrue(text.startswith(b"flint %s for Windows" % harness.VERSION.encode()), text[:80])

    def test_programs_import_only_windows_own_dlls(self):
        for name in ["flint.exe", "flint-gang.exe", "station.exe", "tunerlib.dll", "simprobe/JLink_x64.dll"]:
            rc, out = run([TRIPLE + "-objdump", "-p", os.path.join(STATION, name)])
            dlls = re.findall(r"DLL Name: (\S+)", out)
            self.assertTrue(dlls, name)
            self.assertEqual([d for d in dlls if not SYSTEM_DLLS.match(d)], [], name)


class Programs(unittest.TestCase, OneShotDryRun):
    def test_version(self):
        self.assertEqual(wine([harness.FLINT, "--version"]), (0, harness.VERSION + "\n"))

    def test_oneshot_dry_run_from_a_folder_with_a_blank(self):
        # The loader line names the folder by its short (8.3) name, as
        # Windows reports it.
        rc, short = run(["winepath", "--short", windows_path(STATION)], env=wine_environment())
        short = short.strip()
        self.assertEqual(rc, 0, short)
        self.assertNotIn(" ", short)
        self.dry_run(lambda args, cwd: harness.run_flint(args, cwd=cwd), STATION,
                     "loadfw --autodetect %s\\fw 1" % short)

    def test_station_exe_calibrates_with_tunerlib_dll(self):
        import tunerlib_harness as th
        with th.Sim("golden", "dut,result=0x5C") as sim:
            th.set_port_list(sim.names())
            rc, out = wine([os.path.join(STATION, "station.exe"), "tunerlib.dll", "12", "3"], cwd=STATION)
            self.assertEqual(rc, 0, out)
            lines = out.splitlines()
            self.assertIn("calibration result: 0x5C", lines)
            self.assertEqual(lines[-1], "station: all calls succeeded")

    def test_the_import_library_links_a_c_program(self):
        folder = harness.scratch_dir("importlib")
        source = os.path.join(folder, "calls.c")
        with open(source, "w") as f:
            f.write('#include <stdio.h>\n#include "tunerlib.h"\n'
                    "int main(void) {\n"
                    "    wchar_t text[64];\n"
                    '    printf("BuildCalibrateModule %d\\n", BuildCalibrateModule());\n'
                    '    printf("ReturnLPCWCHAR %d\\n", ReturnLPCWCHAR(text, 64));\n'
                    '    printf("text %ls\\n", text);\n'
                    '    printf("ReleaseCalibrateModule %d\\n", ReleaseCalibrateModule());\n'
                    "    return 0;\n}\n")
        program = os.path.join(STATION, "calls.exe")
        try:
            rc, out = run([TRIPLE + "-gcc", "-Wall", "-Wextra", "-o", program, source, "-I", STATION,
                           os.path.join(STATION, "tunerlib.lib")])
            self.assertEqual((rc, out), (0, ""))
            rc, out = run([TRIPLE + "-objdump", "-p", program])
            self.assertIn("DLL Name: tunerlib.dll", out)
            self.assertEqual(wine([program], cwd=STATION), (0, "BuildCalibrateModule 0\nReturnLPCWCHAR 0\n"
                                                                "text hello world!\nReleaseCalibrateModule 0\n"))
        finally:
            if os.path.exists(program):
                os.remove(program)


if __name__ == "__main__":
    unittest.main(verbosity=2)
