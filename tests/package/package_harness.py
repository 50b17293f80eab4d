"""What the package tests share: the end-to-end harness (tests/e2e) pointed at
the programs a package installed, and the one-shot dry run that both packages
must pass: erase, program and verify an image on the virtual module from a
station folder whose fw folder holds the loaders.

Environment (set by tests/package/test.sh):
  FLINT      the packaged flint (the installed one, or flint.exe in the zip)
  VMODULE    the packaged virtual module; SIMGOLDEN the simulated golden samples
  E2E_TMP    a scratch folder
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_flash_session import MODULE_ARGS, OK, loaded, pattern  # noqa: E402
from test_oneshot import BAUD_LINES, HEAD, program_lines  # noqa: E402

ADDRESS = 0x802000
AREA = 0x2000
IMAGE_BYTES = 5000


def run(cmd, **kwargs):
    """(exit status, standard output and error without CR)."""
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300, **kwargs)
    return proc.returncode, proc.stdout.decode(errors="replace").replace("\r", "")


class OneShotDryRun:
    """A mixin of unittest.TestCase: dry_run(flint, station, loadfw_line)."""

    def dry_run(self, run_flint, station, loadfw_line):
        """run_flint(args, cwd) runs the packaged flint as a user would;
        station is the folder it runs in (its fw holds the loaders)."""
        harness.make_fw_dir(os.path.join(station, "fw"))
        app = pattern(IMAGE_BYTES, 7)
        with open(os.path.join(station, "app.bin"), "wb") as f:
            f.write(app)
        with VModule(MODULE_ARGS, iflash={ADDRESS: pattern(AREA, 8)}) as vm:
            port = flint_port(vm)
            rc, out = run_flint(["-c", port, "-e", "-p", "-v", "-A", "0x%X" % ADDRESS, "-S", "0x%X" % AREA,
                                 "-F", "app.bin", "-M", "1"], station)
            prog, verify = program_lines("app.bin", IMAGE_BYTES, app)
            steps = [("ver", harness.VERSION + "\n" + OK),
                     ("connect %s" % port, "Connecting %s at 115200 OK...\n" % port + OK),
                     (loadfw_line, loaded()),
                     ("setbaudrate 1000000", BAUD_LINES),
                     ("pageerase 0x%x 0x%x" % (ADDRESS, AREA), "send erase command!\n" + OK),
                     ("program app.bin 0x%x" % ADDRESS, prog),
                     ("flashverify app.bin 0x%x" % ADDRESS, verify),
                     ("disconnect", OK)]
            self.assertEqual(out, HEAD + "".join("CMD[%d] %s\n%s" % (i, line, text)
                                                 for i, (line, text) in enumerate(steps)))
            self.assertEqual(rc, 0)
            self.assertEqual(vm.read_iflash(ADDRESS, AREA), app + b"\xFF" * (AREA - IMAGE_BYTES))
