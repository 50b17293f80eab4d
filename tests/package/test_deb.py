"""The Debian package, unpacked with dpkg-deb -x into a temporary root
(PKG_ROOT): its files, control fields, programs, man pages, completion and
library, run from where the package puts them."""
import glob
import os
import re
import shutil
import unittest

from package_harness import OneShotDryRun, harness, run

ROOT = os.environ.get("PKG_ROOT", "")
DEB = os.environ.get("DEB", "")
LIBDIR = "usr/lib/x86_64-linux-gnu"
SONAME = "libtunerlib.so.1"


def installed(path):
    return os.path.join(ROOT, path)


class Contents(unittest.TestCase):
    def test_every_part_is_where_the_package_promises(self):
        for path in ["usr/bin/flint", "usr/bin/flint-gang", "usr/lib/flint/vmodule",
                     "usr/lib/flint/simgolden", "usr/lib/flint/station"]:
            self.assertTrue(os.access(installed(path), os.X_OK), path)
        for path in ["usr/include/tunerlib.h", "usr/lib/flint/simprobe/libjlinkarm.so",
                     "usr/share/doc/flint/README.md", "usr/share/doc/flint/copyright",
                     "usr/share/doc/flint/changelog.gz", "usr/share/bash-completion/completions/flint",
                     "usr/share/bash-completion/completions/flint-gang"]:
            self.assertTrue(os.path.isfile(installed(path)), path)
        self.assertEqual(os.readlink(installed(LIBDIR + "/" + SONAME)), "%s.%s" % (SONAME[:-2], harness.VERSION))
        self.assertEqual(os.readlink(installed(LIBDIR + "/libtunerlib.so")), SONAME)
        # No probe library where an installed flint would look for one.
        self.assertEqual(glob.glob(installed("usr/bin/*.so")), [])

    def test_binaries_are_stripped_release_builds(self):
        for path in ["usr/bin/flint", "usr/bin/flint-gang", "usr/lib/flint/vmodule", LIBDIR + "/" + SONAME]:
            rc, out = run(["file", "-b", os.path.realpath(installed(path))])
            self.assertIn("stripped", out, path)
            self.assertNotIn("not stripped", out, path)
            rc, out = run(["nm", "-D", installed(path)])
            self.assertNotIn("__asan", out, path)
            self.assertNotIn("__ubsan", out, path)

    def test_control_fields(self):
        rc, out = run(["dpkg-deb", "--field", DEB, "Package", "Version", "Architecture", "Depends"])
        self.assertEqual(rc, 0, out)
        fields = dict(line.split(": ", 1) for line in out.splitlines())
        self.assertEqual(fields["Package"], "flint")
        self.assertEqual(fields["Version"], harness.VERSION)
        self.assertEqual(fields["Architecture"], "amd64")
        for library in ["libc6", "libstdc++6", "libusb-1.0-0", "libcjson1"]:
            self.assertIn(library + " (>=", fields["Depends"])
        rc, out = run(["dpkg-deb", "--info", DEB, "shlibs", "triggers"])
        self.assertEqual(out, "libtunerlib 1 flint (>= %s)\nactivate-noawait ldconfig\n" % harness.VERSION)


class Programs(unittest.TestCase, OneShotDryRun):
    def test_version(self):
        self.assertEqual(run([installed("usr/bin/flint"), "--version"]), (0, harness.VERSION + "\n"))
        self.assertEqual(run([installed("usr/bin/flint-gang"), "-V"]), (0, "flint-gang %s\n" % harness.VERSION))

    def test_man_pages(self):
        # Each page with an option written as the program takes it.
        options = {"flint": "--version", "flint-gang": "--logs DIR", "vmodule": "--pty-link PATH"}
        pages = glob.glob(installed("usr/share/man/man1/*.1.gz"))
        self.assertEqual(sorted(os.path.basename(p)[:-len(".1.gz")] for p in pages), sorted(options))
        for page in pages:
            name = os.path.basename(page)[:-len(".1.gz")]
            rc, out = run(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
            self.assertEqual(rc, 0, out)
            self.assertTrue(out.startswith(name.upper() + "(1)"), out[:200])
            self.assertIn("NAME\n       %s - " % name, out)
            self.assertIn(options[name], out)
            self.assertRegex(out, r"\nflint %s +%s\(1\)\n$" % (re.escape(harness.VERSION), name.upper()))

    def test_bash_completion(self):
        script = ("source /usr/share/bash-completion/bash_completion; source %s; "
                  "COMP_WORDS=(flint -M ''); COMP_CWORD=2; COMP_LINE='flint -M '; COMP_POINT=9; _flint; "
                  "echo ${COMPREPLY[*]}; COMP_WORDS=(flint-gang --l); COMP_CWORD=1; COMP_LINE='flint-gang --l'; "
                  "COMP_POINT=14; _flint_gang; "
                  "echo ${COMPREPLY[*]}") % installed("usr/share/bash-completion/completions/flint")
        script = script.replace("_flint_gang;", "source %s; _flint_gang;"
                                % installed("usr/share/bash-completion/completions/flint-gang"))
        self.assertEqual(run(["bash", "-c", script]), (0, "0 1 2 3 4\n--logs\n"))

    def test_oneshot_dry_run_through_the_path(self):
        # Started by its name, flint takes its loaders from fw in the
        # working directory: the station folder.
        station = harness.scratch_dir("deb_station")
        env = dict(os.environ, PATH=installed("usr/bin") + ":" + os.environ["PATH"])
        self.assertEqual(shutil.which("flint", path=env["PATH"]), installed("usr/bin/flint"))
        self.dry_run(lambda args, cwd: run(["flint"] + args, cwd=cwd, env=env), station,
                     "loadfw --autodetect 1")

    def test_the_example_station_calibrates_with_the_installed_library(self):
        import tunerlib_harness as th
        with th.Sim("golden", "dut,result=0x5C") as sim:
            env = dict(os.environ, TUNERLIB_SERIAL_PORTS=":".join(sim.names()),
                       TUNERLIB_LOG=os.path.join(sim.dir, "tunerlib.log"))
            rc, out = run([installed("usr/lib/flint/station"), installed(LIBDIR + "/" + SONAME), "12", "3"],
                          env=env)
            self.assertEqual(rc, 0, out)
            lines = out.splitlines()
            self.assertIn("calibration result: 0x5C", lines)
            self.assertEqual(lines[-1], "station: all calls succeeded")

    def test_the_simulated_probe_serves_a_copy_of_flint_beside_it(self):
        station = harness.scratch_dir("deb_swd")
        for path in ["usr/bin/flint", "usr/lib/flint/simprobe/libjlinkarm.so"]:
            shutil.copy(installed(path), station)
        env = dict(os.environ, SIMPROBE_LOG=os.path.join(station, "probe.log"))
        rc, out = run([os.path.join(station, "flint"), "-i"], input=b"connect swd\ndisconnect\n",
                      cwd=station, env=env)
        self.assertEqual(rc, 0, out)
        self.assertIn("SWD Opening...\n", out)
        self.assertNotIn("-ERR", out)
        with open(env["SIMPROBE_LOG"]) as f:
            self.assertIn("JLINKARM_Open", f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
