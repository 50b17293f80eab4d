"""One-shot runs that must not report a module as good, or touch it at all,
when their command line or files are wrong: a job file beside a packed
image, a mistyped image or eFuse file, a bad device address, an empty port,
files that are no regular files. The real flint binary against the virtual
module; the module's flash is read afterwards."""
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402
from test_oneshot import ACTION_CHECK, CONNECT_CHECK, ERASED, Station, host_path, local_path, sep  # noqa: E402

NOT_REGULAR = "%s is not a regular file (a folder, device or pipe); give the path of a file\n"
# A run that hangs on a FIFO is a failure, not a wait.
FIFO_TIMEOUT_S = 30


def packed_bytes(subs):
    """A packed image of (address, payload) sub-images, each behind a 512-byte header."""
    indicator = (1 << len(subs)) - 1
    data = b"GM" + bytes(38) + struct.pack("<I", indicator)
    data += b"".join(struct.pack("<III", a, len(p) + 512, 0) for a, p in subs)
    return data + b"".join(b"H" * 512 + p for _, p in subs)


def script_lines(out):
    return [line.split("] ", 1)[1] for line in out.splitlines() if line.startswith("CMD[")]


class PackedWithJobFile(Station):
    """With -P the job file gives the port and the rate; every sub-image of
    the packed file is programmed, whatever the job file's entries say and
    wherever -f stands."""

    SUBS = [(0x802000, pattern(0x1200, 51)), (0x810000, pattern(300, 52))]

    def run_packed(self, order):
        self.write("packed.bin", packed_bytes(self.SUBS))
        self.write("img/other.bin", pattern(4000, 53))
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            # The job disables slot 0 and names an image of its own for slot 1.
            job = self.job(port, [("other.bin", "0x802000", "0"), ("other.bin", "0x820000")])
            words = {"f": ["-f", job], "P": ["-P", "packed.bin"]}
            rc, out = self.flint(words[order[0]] + words[order[1]] + ["-M", "1"])
            folder = out.split("Temp dir: ", 1)[1].split("\n", 1)[0]
            body = []
            for addr, payload in self.SUBS:
                path = "%s%s0x%x.bin" % (folder, sep(), addr)
                body += ["pageerase 0x%x 0x%X" % (addr, (len(payload) + 4095) // 4096 * 4096),
                         "program %s 0x%x" % (path, addr), "flashverify %s 0x%x" % (path, addr)]
            self.assertEqual(script_lines(out), self.script(port, 1, body), out)
            self.assertEqual(rc, 0, out)
            for addr, payload in self.SUBS:
                self.assertEqual(vm.read_iflash(addr, len(payload)), payload)
            self.assertEqual(vm.read_iflash(0x820000, 16), ERASED * 16)
            self.assertFalse(os.path.exists(local_path(folder)), folder)

    def test_job_file_before_the_packed_image(self):
        self.run_packed("fP")

    def test_job_file_behind_the_packed_image(self):
        self.run_packed("Pf")


class RefusedBeforeTheModule(Station):
    """A run whose files or texts are wrong ends with -1 and its message
    before the first line: the module keeps its old firmware."""

    OLD = pattern(0x1000, 61)

    def refused(self, args, want_err, detect=False):
        self.write("app.bin", pattern(3000, 62))
        self.write("efuse.bin", bytes([0x11, 0x02, 0x44, 0x80]))
        with VModule(MODULE_ARGS, iflash={0x802000: self.OLD}) as vm:
            port = flint_port(vm)
            fuses = vm.read_efuse()
            mode = [] if detect else ["-M", "1"]
            rc, out = self.flint(["-c", port] + [a.replace("PORT", port) for a in args] + mode,
                                 timeout=FIFO_TIMEOUT_S)
            self.assertEqual((rc, out), (255, want_err))
            self.assertEqual(vm.read_iflash(0x802000, len(self.OLD)), self.OLD)
            self.assertEqual(vm.read_efuse(), fuses)

    def test_refusals(self):
        erase_program = ["-e", "-p", "-v", "-A", "0x802000", "-S", "0x1000"]
        cases = [
            (erase_program + ["-F", "typo.bin"], "open typo.bin fails\n"),
            (["-e", "-v", "-A", "0x802000", "-S", "0x1000", "-F", "typo.bin"], "open typo.bin fails\n"),
            (erase_program + ["-F", "."], NOT_REGULAR % "."),
            (erase_program + ["-F", "app.bin", "-u", "typo.json"], "open typo.json fails\n"),
            (erase_program + ["-F", "app.bin", "-x", "00:11:22:33:44"], "convert BT address error!\n"),
            (["-E", "-x", "00:11:22:33:44:5G"], "convert BT address error!\n"),
        ]
        if not harness.UNDER_WINE:  # a Linux FIFO is no file for Windows programs
            os.mkfifo(self.path("fifo.bin"))
            cases += [(erase_program + ["-F", "fifo.bin"], NOT_REGULAR % "fifo.bin"),
                      (["-E", "-u", "fifo.bin"], NOT_REGULAR % "fifo.bin")]
        for args, err in cases:
            for detect in (False, True):
                with self.subTest(args=args, detect=detect):
                    self.refused(args, err, detect)

    def test_names_outside_the_ansi_code_page(self):
        """Windows hands a program its arguments in the ANSI code page (here
        Latin): a character it cannot hold arrives as "?", or as a look-alike
        that may name another file ("\u0101" as "a"). Such a name is refused
        like a file that cannot be opened, even when the look-alike exists."""
        if not harness.UNDER_WINE:
            self.skipTest("the ANSI code page: the Windows build under Wine")
        for name in ("appa.bin", "app\u0101.bin", "\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430.bin",
                     "\u56fa\u4ef6.bin", "fusea.bin", "joba.json", "dumpa.bin"):
            self.write(name, pattern(3000, 63))
        erase_program = ["-e", "-p", "-v", "-A", "0x802000", "-S", "0x1000"]
        cases = [
            (erase_program + ["-F", "app\u0101.bin"], "open appa.bin fails\n"),
            (erase_program + ["-F", "\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430.bin"],
             "open ????????.bin fails\n"),
            (erase_program + ["-F", "\u56fa\u4ef6.bin"], "open ??.bin fails\n"),
            (erase_program + ["-F", "app.bin", "-u", "fuse\u0101.bin"], "open fusea.bin fails\n"),
            (["-s", "-A", "0x802000", "-S", "0x10", "-F", "dump\u0101.bin"], "open dumpa.bin fails\n"),
            (["-f", "job\u0101.json", "-E"], "open joba.json fails!\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                self.refused(args, err)
        with open(self.path("dumpa.bin"), "rb") as f:
            self.assertEqual(f.read(), pattern(3000, 63))

    def test_an_empty_port_is_no_port(self):
        for args in (["-c", "", "-E"], ["-c", "", "-D", "00:11"], ["-f", "job.json", "-c", "", "-E"]):
            with self.subTest(args=args):
                self.job("COM6", [])
                rc, out = self.flint(args)
                self.assertEqual((rc, out), (255, CONNECT_CHECK))


class FilesThatAreNoRegularFiles(Station):
    """A FIFO as the job file, as an image the job file names, or as the
    packed image is refused at once (reading it would wait for a writer
    forever); a packed run leaves no temporary folder behind."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if harness.UNDER_WINE:
            raise unittest.SkipTest("FIFOs are Linux files")

    def test_fifos(self):
        os.mkfifo(self.path("fifo.json"))
        os.makedirs(self.path("img"))
        os.mkfifo(self.path("img/app.bin"))
        os.mkfifo(self.path("fifo.bin"))
        job = self.job("COM6", [("app.bin", "0x802000")])
        image = host_path(self.path("img")) + sep() + "app.bin"
        cases = [
            (["-f", "fifo.json", "-a", "-M", "1"], NOT_REGULAR % "fifo.json"),
            (["-f", job, "-a", "-M", "1"], NOT_REGULAR % image),
            (["-c", "COM6", "-P", "fifo.bin", "-M", "1"],
             "packed_img_parser: %s\nparse packed image error!\n" % (NOT_REGULAR % "fifo.bin").rstrip("\n")),
        ]
        temp = self.path("temp")
        os.makedirs(temp)
        for args, want in cases:
            with self.subTest(args=args):
                rc, out = self.flint(args, env={"TMPDIR": temp}, timeout=FIFO_TIMEOUT_S)
                self.assertEqual((rc, out), (255, want))
        self.assertEqual(os.listdir(temp), [])


class ClearMessages(Station):
    """A job file that cannot be used, and a number with text behind its
    digits, are named on standard error: the file and what is wrong in it;
    the option and what its value was read as."""

    def test_job_files_that_cannot_be_used(self):
        good = '"port": "COM6", "baud": "9600", "appimage": {"relativepath": "img", "file": [%s]}'
        cases = [
            ('{"quarryconfig": {\n  "port": "COM6",\n  "baud" "9600"\n}}', "no valid JSON, the text goes wrong at line 3, column 10"),
            ('{"quarryconfig": {"port": "COM6"}}', '"quarryconfig.baud" is missing'),
            ('{"quarryconfig": {"port": 6, "baud": "9600"}}', '"quarryconfig.port" is no string'),
            ('{"quarryconfig": {%s}}' % (good % '{"name": "a.bin", "address": "0x802000"}, {"name": "b.bin"}'),
             '"quarryconfig.appimage.file[1].address" is missing'),
            ('{"QuarryConfig": {%s}}' % (good % '{"name": ["a.bin"], "address": "0x802000"}'),
             '"quarryconfig.appimage.file[0].name" is no string'),
        ]
        for text, what in cases:
            with self.subTest(what=what):
                job = host_path(self.write("job.json", text.encode()))
                rc, out = self.flint(["-f", job, "-a", "-M", "1"])
                self.assertEqual((rc, out), (255, "%s: %s\n" % (job, what)))

    def test_numbers_with_text_behind_their_digits(self):
        cases = [
            (["-A", "zz", "-S", "4k"], ['-A "zz" is no whole number, it was read as 0x0',
                                        '-S "4k" is no whole number, it was read as 4']),
            (["-A", "0x80200O", "-S", "0x1g"], ['-A "0x80200O" is no whole number, it was read as 0x80200',
                                                '-S "0x1g" is no whole number, it was read as 0x1']),
            (["-A", "", "-S", "1 "], ['-A "" is no whole number, it was read as 0x0',
                                      '-S "1 " is no whole number, it was read as 1']),
            (["-A", "802000", "-S", "4096"], []),
        ]
        for args, warnings in cases:
            with self.subTest(args=args):
                rc, out = self.flint(["-c", "COM6"] + args)
                want = "".join("warning: %s\n" % w for w in warnings) + ACTION_CHECK
                self.assertEqual((rc, out), (255, want))

    def test_the_value_read_is_the_one_used(self):
        with VModule(MODULE_ARGS, iflash={0x802000: pattern(0x2000, 81)}) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-A", "0x802000", "-S", "8k", "-M", "1"])
            self.assertTrue(out.startswith('warning: -S "8k" is no whole number, it was read as 8\n'), out)
            self.assertIn("CMD[4] pageerase 0x802000 0x8\n", out)


class ClosedStandardStreams(Station):
    """flint started with standard input, output or error closed: the port
    gets a descriptor of its own, so no console text goes to the module and
    the run programs the image."""

    APP = pattern(5000, 91)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if harness.UNDER_WINE:
            raise unittest.SkipTest("descriptor numbers: Linux")

    def test_closed_streams(self):
        self.write("app.bin", self.APP)
        for redirect in ("<&-", ">&-", "2>&-", "<&- >&- 2>&-"):
            with self.subTest(redirect=redirect), VModule(MODULE_ARGS) as vm:
                args = ["-c", flint_port(vm), "-e", "-p", "-v", "-A", "0x802000", "-S", "0x2000", "-F", "app.bin",
                        "-M", "1"]
                proc = subprocess.run(["sh", "-c", 'exec "$@" ' + redirect, "sh", self.program] + args,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=self.dir, timeout=120)
                out = proc.stdout.decode(errors="replace")
                self.assertEqual(proc.returncode, 0, out)
                self.assertEqual(vm.read_iflash(0x802000, len(self.APP)), self.APP)
                self.assertNotIn("bytes discarded", vm.log_text(), "console text reached the module")
                self.assertNotIn("unknown HCI command", vm.log_text(), "console text reached the module")
                if ">&-" not in redirect:
                    self.assertTrue(out.endswith("CMD[7] disconnect\n-OK-\n"), out)


class DumpsThatFailPartWay(Station):
    """A dump that cannot be written whole (the disk fills up, here a file
    size limit) leaves the file it was to replace as it was, and no part
    file beside it."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if harness.UNDER_WINE:
            raise unittest.SkipTest("file size limits: Linux")

    @staticmethod
    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead

    def test_the_old_file_stays(self):
        old = pattern(0x3000, 95)
        self.write("out.bin", old)
        with VModule(MODULE_ARGS, iflash={0x802000: pattern(0x2000, 96)}) as vm:
            args = ["-c", flint_port(vm), "-s", "-A", "0x802000", "-S", "0x2000", "-F", "out.bin", "-M", "1"]
            proc = subprocess.run([self.program] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  cwd=self.dir, timeout=120, preexec_fn=self.limit_file_size)
        out = proc.stdout.decode(errors="replace")
        self.assertTrue(out.endswith("writing out.bin failed\n-ERR: 3-\nExecuting savebin out.bin 0x802000 0x2000 "
                                     "fails\n"), out)
        self.assertEqual(proc.returncode, 3)
        with open(self.path("out.bin"), "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertEqual([n for n in os.listdir(self.dir) if n.endswith(".part")], [])

    def test_a_whole_dump_replaces_the_file(self):
        self.write("out.bin", pattern(0x3000, 97))
        flash = pattern(0x800, 98)
        with VModule(MODULE_ARGS, iflash={0x802000: flash}) as vm:
            rc, out = self.flint(["-c", flint_port(vm), "-s", "-A", "0x802000", "-S", "0x800", "-F", "out.bin",
                                  "-M", "1"])
        self.assertEqual(rc, 0, out)
        with open(self.path("out.bin"), "rb") as f:
            self.assertEqual(f.read(), flash)


class WindowsPaths(Station):
    """The Windows build under Wine: paths written with "/" (or "\\" and "/"
    mixed) name the folders they name with "\\", and folders with a blank
    (C:\\Program Files, a user name with a blank) are taken by their short
    names, so the run programs the images it was given."""

    APP = pattern(5000, 71)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not harness.UNDER_WINE:
            raise unittest.SkipTest("Windows paths: the Windows build under Wine")

    def run_batch(self, lines, cwd):
        """The lines as a batch file run by Wine's command interpreter, which
        starts programs with exactly the paths written; (exit status, output)."""
        text = "".join("@%s\r\n" % line for line in lines) + "@exit /b %ERRORLEVEL%\r\n"
        batch = self.write("run.bat", text.encode())
        env = dict(os.environ)
        env.update(harness.wine_env())
        proc = subprocess.run([harness.WINE, "cmd", "/c", host_path(batch)], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, cwd=cwd, env=env, timeout=120)
        return proc.returncode, proc.stdout.decode(errors="replace").replace("\r", "")

    def station_in(self, folder):
        """A copy of flint.exe with its "fw" folder in `folder` (made here)."""
        os.makedirs(folder, exist_ok=True)
        harness.make_fw_dir(os.path.join(folder, "fw"))
        program = os.path.join(folder, "flint.exe")
        shutil.copy(harness.FLINT, program)
        return program

    def test_job_file_paths_with_slashes(self):
        # The right image beside the job file; same-named ones in the working
        # folder and in the job file's parent would be taken by a join at the
        # last backslash only.
        self.write("line/v2/img/app.bin", self.APP)
        self.write("img/app.bin", pattern(5000, 72))
        self.write("line/img/app.bin", pattern(5000, 73))
        job_dir = host_path(self.path("line/v2"))
        for job_of in (lambda: job_dir.replace("\\", "/") + "/job.json",
                       lambda: job_dir.rsplit("\\", 1)[0] + "\\v2/job.json"):
            with VModule(MODULE_ARGS) as vm:
                port = flint_port(vm)
                self.job(port, [("app.bin", "0x802000")], name="line/v2/job.json")
                job = job_of()
                with self.subTest(job=job):
                    rc, out = self.flint(["-f", job, "-a", "-M", "1"])
                    image = job.rsplit("job.json", 1)[0][:-1] + "\\img\\app.bin"
                    self.assertIn("CMD[5] program %s 0x802000\n" % image, out)
                    self.assertEqual(rc, 0, out)
                    self.assertEqual(vm.read_iflash(0x802000, len(self.APP)), self.APP)

    def run_station(self, folder, program_text):
        """Programs APP with the copy of flint in `folder`, started as
        program_text from a working folder without "fw"; (exit status, output)."""
        app = self.write("app.bin", self.APP)
        work = self.path("work")
        os.makedirs(work, exist_ok=True)
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            rc, out = self.run_batch(['"%s" -c %s -e -p -v -A 0x802000 -S 0x2000 -F %s -M 1'
                                      % (program_text, port, host_path(app))], work)
            good = vm.read_iflash(0x802000, len(self.APP)) == self.APP
        loader = [line for line in out.splitlines() if line.startswith("CMD[2] ")]
        return rc, out, good, loader[0][len("CMD[2] "):] if loader else None

    def test_program_folder_with_slashes(self):
        folder = self.path("station")
        self.station_in(folder)
        text = host_path(folder).replace("\\", "/")
        rc, out, good, loader = self.run_station(folder, text + "/flint.exe")
        self.assertEqual(loader, "loadfw --autodetect %s\\fw 1" % text, out)
        self.assertEqual((rc, good), (0, True), out)

    def test_program_folder_with_a_blank_goes_by_its_short_name(self):
        folder = self.path("Program Files/flint station")
        self.station_in(folder)
        rc, out, good, loader = self.run_station(folder, host_path(folder) + "\\flint.exe")
        self.assertRegex(loader or "", r"^loadfw --autodetect Z:\\[^ ]+\\fw 1$", out)
        self.assertEqual((rc, good), (0, True), out)

    def test_packed_image_with_a_temporary_folder_with_a_blank(self):
        subs = [(0x802000, pattern(0x1200, 74)), (0x810000, pattern(300, 75))]
        packed = self.write("packed.bin", packed_bytes(subs))
        temp = self.path("Users/A User/Temp")
        os.makedirs(temp)
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            rc, out = self.run_batch(['set "TMP=%s"' % host_path(temp), 'set "TEMP=%s"' % host_path(temp),
                                      '"%s" -c %s -P %s -M 1' % (host_path(self.program), port, host_path(packed))],
                                     self.dir)
            folder = out.split("Temp dir: ", 1)[1].split("\n", 1)[0]
            self.assertNotIn(" ", folder)
            self.assertEqual(rc, 0, out)
            for addr, payload in subs:
                self.assertIn("CMD[%d] program %s\\0x%x.bin 0x%x\n" % (5 + 3 * subs.index((addr, payload)), folder,
                                                                        addr, addr), out)
                self.assertEqual(vm.read_iflash(addr, len(payload)), payload)
        self.assertEqual(os.listdir(temp), [])

    def test_a_batch_file_sees_minus_one(self):
        rc, out = self.run_batch(['"%s" -c COM6' % host_path(self.program), "echo level=%ERRORLEVEL%",
                                  "if errorlevel 1 echo errorlevel 1 holds"], self.dir)
        self.assertEqual(out, ACTION_CHECK + "level=-1\n")


if __name__ == "__main__":
    unittest.main()
