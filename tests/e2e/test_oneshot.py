"""One-shot production runs: the real flint binary, started from a station
folder that holds it and its "fw" loader folder, programs the virtual module
from its command line, a job file or a packed image. Every run's output and
exit code are compared exactly, and the module's flash afterwards holds
every image (or the run did not end with 0)."""
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port, run_flint  # noqa: E402
from test_flash_session import MODULE_ARGS, OK, crc_line, loaded, pattern  # noqa: E402
from test_efuse_oem import (A_NEW, A_OLD, B_NEW, B_OLD, MAC, NEW_MAC, OLD_MAC, OTHER,  # noqa: E402
                            PASSWORD_COMMAND, TAIL, addmac_after, image, merge_after, region, wait_log,
                            written)

HEAD = "Mode detection OK!\nmode determinated!\nCMD combination OK!!!\n"
BAUD_LINES = ("send set baudrate command!\nset baudrate command ok!\n"
              "set baudrate: 1000000 successfully\n" + OK)
CONNECT_CHECK = "please configure connect information by -f or -c!\n"
ACTION_CHECK = "please configure action by -e, -p, -v, -s, -a, -E, -P, -x or -r!\n"
ERASED = b"\xFF"
# What mode detection prints besides its connect line: read_efuse and
# disconnect succeed silently; a reboot before a loader resets the module
# through the watchdog.
DETECT_OK = OK
REBOOT_OK = "please run 'loadfw' cmd first.\nWDG_Reset OK\n" + OK
FACTORY_IMAGE = bytes(4) + b"\x8F\x27" + bytes(6)   # image ID 0x278F at offset 4


def host_path(path):
    """A path as flint sees it: the Windows build under Wine gets drive Z:."""
    return "Z:" + path.replace("/", "\\") if harness.UNDER_WINE else path


def sep():
    return "\\" if harness.UNDER_WINE else "/"


def local_path(shown):
    """The Linux path of a path that flint printed."""
    if not harness.UNDER_WINE:
        return shown
    drive, rest = shown[0].upper(), shown[3:].replace("\\", "/")
    if drive == "Z":
        return "/" + rest
    return os.path.join(harness.wine_env()["WINEPREFIX"], "drive_%s" % drive.lower(), rest)


def program_lines(path, size, crc_data, header=False, payload=None):
    """What program and flashverify print for an image file."""
    payload_len = len(payload) if payload is not None else size
    prog = "file size: %d\npayload length: %d\nsend write command!\n" % (size, payload_len) + OK
    verify = "file size: %d\npayload length: %d\n" % (size, payload_len) + crc_line(crc_data) + OK
    return prog, verify


class Station(harness.Scratch, unittest.TestCase):
    """A folder that holds a copy of flint and the loader folder "fw" beside
    it, as on a production station; runs start from it."""

    @classmethod
    def setUpClass(cls):
        if not harness.VMODULE:
            raise unittest.SkipTest("VMODULE is not set: no virtual module to talk to")

    def setUp(self):
        self.dir = harness.scratch_dir("oneshot")
        self.fw = os.path.join(self.dir, "fw")
        harness.make_fw_dir(self.fw)
        self.program = os.path.join(self.dir, os.path.basename(harness.FLINT))
        shutil.copy(harness.FLINT, self.program)
        self.loader_dir = host_path(self.dir) + sep() + "fw"

    def flint(self, args, env=None, timeout=120):
        return run_flint(args, cwd=self.dir, env=env, timeout=timeout, program=self.program)

    def script(self, port, mode, body):
        """The lines of a programming run before and after `body`."""
        if mode == 4:
            head = ["ver", "setenv DATA_SIZE_PER_PACKET 4096", "connect %s 2000000" % port,
                    "loadfw --autodetect %s 4" % self.loader_dir]
        else:
            head = ["ver", "connect %s" % port, "loadfw --autodetect %s %d" % (self.loader_dir, mode),
                    "setbaudrate 1000000"]
        return head + body + ["disconnect"]

    def expect_run(self, out, steps):
        """out holds HEAD, then for each (line, output) step "CMD[i] line" and
        the output."""
        want = HEAD + "".join("CMD[%d] %s\n%s" % (i, line, text) for i, (line, text) in enumerate(steps))
        self.assertEqual(out, want)

    def job(self, port, files, baud="1000000", name="job.json"):
        entries = ",".join('{"name": "%s", "address": "%s"%s}'
                           % (f[0], f[1], "" if len(f) < 3 else ', "enable": %s' % f[2]) for f in files)
        text = ('{"quarryconfig": {"port": "%s", "baud": "%s", "appimage": '
                '{"relativepath": "img", "file": [%s]}}}' % (port, baud, entries))
        return host_path(self.write(name, text.encode()))


class SingleImageRuns(Station):
    def test_mode1_erase_program_verify(self):
        app = pattern(5000, 1)
        self.write("app.bin", app)
        with VModule(MODULE_ARGS, iflash={0x802000: pattern(0x2000, 2)}) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-p", "-v", "-A", "0x802000", "-S", "0x2000",
                                  "-F", "app.bin", "-M", "1"])
            prog, verify = program_lines("app.bin", 5000, app)
            self.expect_run(out, [
                ("ver", harness.VERSION + "\n" + OK),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n" % port + OK),
                ("loadfw --autodetect %s 1" % self.loader_dir, loaded()),
                ("setbaudrate 1000000", BAUD_LINES),
                ("pageerase 0x802000 0x2000", "send erase command!\n" + OK),
                ("program app.bin 0x802000", prog),
                ("flashverify app.bin 0x802000", verify),
                ("disconnect", OK),
            ])
            self.assertEqual(rc, 0)
            self.assertEqual(vm.read_iflash(0x802000, 0x2000), app + ERASED * (0x2000 - 5000))

    def test_mode4_single_wire_uart(self):
        app = pattern(6000, 3)
        self.write("app.bin", app)
        # The module runs its loader at 2000000 already; Wine cannot set that
        # rate on a pseudo-terminal, so the module does not compare rates.
        with VModule(MODULE_ARGS + ["--boot", "loader", "--no-rate-follow"]) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-p", "-v", "-A", "0x804000", "-S", "6000",
                                  "-F", "app.bin", "-M", "4"])
            prog, verify = program_lines("app.bin", 6000, app)
            self.expect_run(out, [
                ("ver", harness.VERSION + "\n" + OK),
                ("setenv DATA_SIZE_PER_PACKET 4096", OK),
                ("connect %s 2000000" % port, "Connecting %s at 2000000 OK...\n" % port + OK),
                ("loadfw --autodetect %s 4" % self.loader_dir, OK),
                ("pageerase 0x804000 0x1770", "send erase command!\n" + OK),
                ("program app.bin 0x804000", prog.replace("send write command!\n", "send write command!\n" * 2)),
                ("flashverify app.bin 0x804000", verify),
                ("disconnect", OK),
            ])
            self.assertEqual(rc, 0)
            self.assertEqual(vm.read_iflash(0x804000, 6000), app)

    def test_chip_erase_takes_the_place_of_page_erase(self):
        with VModule(MODULE_ARGS, iflash={0x800000: pattern(0x1000, 4), 0x8FF000: pattern(16, 5)}) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-E", "-e", "-A", "0x802000", "-S", "4096", "-H"])
            self.expect_run(out, [
                ("ver", harness.VERSION + "\n" + OK),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n" % port + OK),
                ("loadfw --autodetect %s 0" % self.loader_dir, OK),
                ("setbaudrate 1000000", "set baudrate: 1000000 successfully\n" + OK),
                ("chiperase", "Chip Erase Done!\n" + OK),
                ("disconnect", OK),
            ])
            self.assertEqual(rc, 0)
            self.assertEqual(vm.read_iflash(0x800000, 0x1000), ERASED * 0x1000)
            self.assertEqual(vm.read_iflash(0x8FF000, 16), ERASED * 16)


class RetriesAndResults(Station):
    WORDS = ["-e", "-p", "-v", "-A", "0x802000", "-S", "0x2000", "-F", "app.bin", "-M", "1"]

    def run_with(self, fault):
        app = pattern(5000, 6)
        self.write("app.bin", app)
        vm = VModule(MODULE_ARGS + ["--fault", fault]).start()
        try:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port] + self.WORDS)
            return rc, out, vm.read_iflash(0x802000, 5000) == app
        finally:
            vm.stop()

    def tail(self, out):
        """The output behind the verify line's CMD line."""
        marker = "CMD[6] flashverify app.bin 0x802000\n"
        self.assertIn(marker, out)
        return out.split(marker, 1)[1]

    def test_a_verify_that_fails_once_is_cured_by_erase_and_program(self):
        rc, out, good = self.run_with("1032:corrupt:1")
        self.assertRegex(self.tail(out),
                         r"^file size: 5000\npayload length: 5000\ncrc16 = [0-9A-F]{4}\nFlash Verify Error: 5\n"
                         r"-ERR: 1-\nRetrying, cnt = 1\nsend erase command!\n-OK-\n"
                         r"file size: 5000\npayload length: 5000\nsend write command!\n-OK-\n"
                         r"file size: 5000\npayload length: 5000\ncrc16 = [0-9A-F]{4}\n-OK-\n"
                         r"Retry success at cnt = 1\nCMD\[7\] disconnect\n-OK-\n$")
        self.assertEqual(rc, 0)
        self.assertTrue(good)

    def test_a_verify_that_never_passes_fails_the_run_after_disconnect(self):
        rc, out, good = self.run_with("1050:status=5:0")
        tail = self.tail(out)
        self.assertEqual(tail.count("Flash Verify Error: 5\n-ERR: 1-\n"), 6)
        self.assertEqual([line for line in tail.splitlines() if line.startswith("Retry")],
                         ["Retrying, cnt = %d" % n for n in range(1, 6)] + ["Retry Counter OVERFLOW"])
        self.assertTrue(tail.endswith("Retry Counter OVERFLOW\nCMD[7] disconnect\n-OK-\n"), tail)
        self.assertEqual(rc, 1)

    def test_a_failing_program_line_stops_before_disconnect(self):
        rc, out, good = self.run_with("1032:status=3:0")
        self.assertTrue(out.endswith("CMD[5] program app.bin 0x802000\nfile size: 5000\npayload length: 5000\n"
                                     "send write command!\nProgram Error: 3\n-ERR: 1-\n"
                                     "Executing program app.bin 0x802000 fails\n"), out)
        self.assertNotIn("disconnect", out)
        self.assertEqual(rc, 1)
        self.assertFalse(good)


class MultiImageRuns(Station):
    def test_job_file_images(self):
        app = pattern(5000, 7)
        payload = pattern(0x900, 8)
        self.write("img/app.bin", app)
        self.write("img/hdr.bin", harness.header_image(payload, trailer=b"\xAB" * 64))
        self.write("img/off.bin", pattern(100, 9))
        with VModule(MODULE_ARGS, iflash={0x803000: pattern(0x3000, 10)}) as vm:
            port = flint_port(vm)
            job = self.job(port, [("app.bin", "0x803000"), ("off.bin", "0x900000", "false"),
                                  ("hdr.bin", "806000")])
            rc, out = self.flint(["-f", job, "-a", "-M", "1"])
            img = host_path(self.path("img")) + sep()
            prog_a, verify_a = program_lines(img + "app.bin", 5000, app)
            prog_h, verify_h = program_lines(img + "hdr.bin", 512 + 0x900 + 64, payload, payload=payload)
            self.expect_run(out, [
                ("ver", harness.VERSION + "\n" + OK),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n" % port + OK),
                ("loadfw --autodetect %s 1" % self.loader_dir, loaded()),
                ("setbaudrate 1000000", BAUD_LINES),
                ("pageerase 0x803000 0x2000", "send erase command!\n" + OK),
                ("program %sapp.bin 0x803000" % img, prog_a),
                ("flashverify %sapp.bin 0x803000" % img, verify_a),
                ("pageerase 806000 0x1000", "send erase command!\n" + OK),
                ("program %shdr.bin 806000" % img, prog_h),
                ("flashverify %shdr.bin 806000" % img, verify_h),
                ("disconnect", OK),
            ])
            self.assertEqual(rc, 0)
            self.assertEqual(vm.read_iflash(0x803000, 0x3000), app + ERASED * (0x2000 - 5000) + pattern(0x3000, 10)[0x2000:])
            self.assertEqual(vm.read_iflash(0x806000, 0x1000), payload + ERASED * (0x1000 - 0x900))

    def test_packed_image(self):
        subs = [(0x802000, pattern(0x1200, 11)), (0x810000, pattern(300, 12))]
        packed = b"GM" + bytes(38) + struct.pack("<I", 0x5)
        packed += b"".join(struct.pack("<III", a, len(p) + 512, 0) for a, p in subs)
        packed += b"".join(b"H" * 512 + p for _, p in subs)
        self.write("packed.bin", packed)
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-P", "packed.bin", "-M", "1"])
            self.assertEqual(rc, 0, out)
            folder = out.split("Temp dir: ", 1)[1].split("\n", 1)[0]
            names = ["0x802000.bin", "0x810000.bin"]
            self.assertTrue(out.startswith("Temp dir: %s\n" % folder
                                           + "".join("Temp file: %s%s%s\n" % (folder, sep(), n) for n in names)
                                           + HEAD), out)
            for (addr, payload), name in zip(subs, names):
                path = folder + sep() + name
                self.assertIn("CMD[%d] program %s 0x%x\n" % (5 + 3 * names.index(name), path, addr), out)
                self.assertEqual(vm.read_iflash(addr, len(payload)), payload)
            self.assertIn("pageerase 0x802000 0x2000\n", out)
            self.assertIn("pageerase 0x810000 0x1000\n", out)
            self.assertFalse(os.path.exists(local_path(folder)), folder)

    def test_a_failed_packed_run_removes_its_folder_too(self):
        self.write("bad.bin", b"GM" + bytes(42))
        rc, out = self.flint(["-c", "COM6", "-P", "bad.bin", "-M", "1"])
        self.assertEqual(rc, 255)
        folder = out.split("Temp dir: ", 1)[1].split("\n", 1)[0]
        self.assertEqual(out, "Temp dir: %s\npacked_img_parser: packed subIndicator == 0\n"
                              "parse packed image error!\n" % folder)
        self.assertFalse(os.path.exists(local_path(folder)), folder)


class CommandLineChecks(Station):
    """Each refusal: its message alone on standard error, nothing on standard
    output, exit status 255 (-1)."""

    def run_split(self, args):
        cmd = [self.program] + args
        env = dict(os.environ)
        if harness.UNDER_WINE:
            env.update(harness.wine_env())
            cmd = [harness.WINE] + cmd
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.dir, env=env,
                              timeout=60)
        return (proc.returncode, proc.stdout.decode().replace("\r", ""),
                proc.stderr.decode().replace("\r", ""))

    def test_refusals(self):
        self.write("job.json", b"{}")
        cases = [
            ([], CONNECT_CHECK),
            (["-c", "COM6"], ACTION_CHECK),
            (["-c", "COM6", "-m", "11:22", "-A", "0x802000"], ACTION_CHECK),
            (["-c", "COM6", "-s", "-p", "-A", "0", "-S", "1", "-F", "f"],
             "it doesn't support to use -s with -p and -v enabled to avoid overwritting the original binary!\n"),
            (["-c", "COM6", "-s", "-A", "0", "-F", "f"],
             "please configure image address, size and file name by -A, -S and -F!\n"),
            (["-c", "COM6", "-e", "-S", "1"], "please configure erase address and size by -A and -S!\n"),
            (["-c", "COM6", "-p", "-F", "f"], "please configure program/verify file and address by -F and -A!\n"),
            (["-c", "COM6", "-m", "11", "-r"], "please configure erase address by -A!\n"),
            (["-c", "COM6", "-a"], "please configure json file by -f!\n"),
            (["-f", "job.json", "-r"], "job.json: \"quarryconfig\" is missing\n"),
            (["-f", "nosuch.json", "-r"], "open nosuch.json fails!\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                rc, out, got = self.run_split(args)
                self.assertEqual((rc, out, got), (255, "", err))

    def test_help_behind_other_options(self):
        rc, out, err = self.run_split(["-c", "COM6", "-e", "-h", "-f", "nosuch.json"])
        self.assertEqual((rc, err), (0, ""))
        self.assertTrue(out.startswith("flint - A tool used for flash programming\nUsage: flint [OPTION]\n"))
        self.assertTrue(out.endswith("   -V, --version   output version information and exit\n"))

    def test_invalid_modes_fall_back_to_mode_1(self):
        for value in ("7", "00"):
            with self.subTest(value=value), VModule(MODULE_ARGS) as vm:
                port = flint_port(vm)
                rc, out, err = self.run_split(["-c", port, "-e", "-A", "0x802000", "-S", "1", "-M", value])
                self.assertEqual(err, "Invalid argument for Program Mode, use RAM_PATCH_VENDOR_WRITE_MODE "
                                      "instead\n")
                self.assertIn("CMD[2] loadfw --autodetect %s 1\n" % self.loader_dir, out)
                self.assertNotIn("read_efuse", out)
                self.assertEqual(rc, 0, out)


# What a -M 1 run sends: the signature read, the loader chunks and the
# trigger over HCI, then the loader's baud rate, erase, program and verify.
SCRIPT_OPERATIONS = ["fc2d", "fc20", "fc62", "1010", "1030", "1032", "1050"]
FAULT_KINDS = ["badcrc", "status=5", "short=3", "garbage=3"]


class FaultTable(Station):
    """Every operation of the script under every fault kind of the module,
    once and for good: a run ends with 0 only when the flash holds the image."""

    IMAGE = pattern(5000, 21)

    def fault_cases(self):
        for op in SCRIPT_OPERATIONS:
            for kind in FAULT_KINDS:
                for count in ("1", "0"):
                    yield "%s:%s:%s" % (op, kind, count)
            # A silent module costs the read time-out (5 s) each time: once is enough.
            yield "%s:silence:1" % op
        yield "1032:corrupt:1"
        yield "1032:corrupt:0"

    def run_with(self, fault):
        """One run against a module with the fault: exit code, output, and
        whether the flash holds the image."""
        args = MODULE_ARGS + (["--fault", fault] if fault else [])
        with VModule(args) as vm:
            rc, out = self.flint(["-c", flint_port(vm), "-e", "-p", "-v", "-A", "0x802000", "-S", "0x2000",
                                  "-F", "app.bin", "-M", "1"])
            return rc, out, vm.read_iflash(0x802000, len(self.IMAGE)) == self.IMAGE

    def test_a_run_ends_with_0_only_when_the_flash_holds_the_image(self):
        self.write("app.bin", self.IMAGE)
        faults = [None] + list(self.fault_cases())
        outcomes = {}
        for fault, (rc, out, good) in zip(faults, harness.side_by_side(faults, self.run_with, workers=6)):
            outcomes[fault] = (rc, good)
            with self.subTest(fault=fault):
                if rc == 0:
                    self.assertTrue(good, "exit 0 but the flash does not hold the image:\n" + out)
                    self.assertTrue(out.endswith("disconnect\n-OK-\n"), out)
        self.assertEqual(outcomes[None], (0, True))
        # Faults on every program or verify cannot be cured: the run fails.
        for fault in ("1032:corrupt:0", "1050:status=5:0", "1050:badcrc:0", "1032:status=5:0"):
            self.assertNotEqual(outcomes[fault][0], 0, fault)
        # A fault on one verify or one program is cured by the retry.
        for fault in ("1032:corrupt:1", "1050:status=5:1", "1050:badcrc:1", "1050:silence:1"):
            self.assertEqual(outcomes[fault], (0, True), fault)


class DetectionRuns(Station):
    """Runs without -M: the module's mode is detected first, and the
    detection lines are run without CMD lines."""

    def split_detection(self, out, port, reboot=False):
        self.assertIn(HEAD, out)
        detection, rest = out.split(HEAD, 1)
        self.assertEqual(detection, "Connecting %s at 115200 OK...\n" % port + OK + DETECT_OK
                         + ("Prepare to reboot...\n" + REBOOT_OK if reboot else "") + OK)
        return rest

    def test_detection_then_mode_1(self):
        app = pattern(5000, 31)
        self.write("app.bin", app)
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-p", "-v", "-A", "0x802000", "-S", "0x2000", "-F", "app.bin"])
            rest = self.split_detection(out, port)
            self.assertTrue(rest.startswith("CMD[0] ver\n"), rest)
            self.assertIn("CMD[2] loadfw --autodetect %s 1\n" % self.loader_dir, rest)
            self.assertTrue(rest.endswith("CMD[7] disconnect\n-OK-\n"), rest)
            self.assertEqual(rc, 0)
            self.assertEqual(vm.read_iflash(0x802000, 5000), app)
            self.assertIn("01 61 fc", vm.log_text(), "the mode probe reached the module")

    def test_a_factory_image_is_rebooted_into_and_programmed_in_mode_2(self):
        app = pattern(3000, 32)
        self.write("app.bin", app)
        with VModule(MODULE_ARGS, iflash={0x804000: FACTORY_IMAGE}) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-p", "-v", "-A", "0x810000", "-S", "3000", "-F", "app.bin"])
            rest = self.split_detection(out, port, reboot=True)
            self.assertIn("CMD[2] loadfw --autodetect %s 2\n-OK-\n" % self.loader_dir, rest)
            self.assertTrue(rest.endswith("CMD[7] disconnect\n-OK-\n"), rest)
            self.assertEqual(rc, 0, out)
            self.assertEqual(vm.read_iflash(0x810000, 3000), app)
            self.assertEqual(vm.read_iflash(0x804000, 12), FACTORY_IMAGE)

    def test_an_undetectable_module_ends_the_run_with_the_detection_result(self):
        with VModule(MODULE_ARGS + ["--probe-status", "0x22"]) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-A", "0x802000", "-S", "0x1000"])
            self.assertRegex(out, r"^Connecting %s at 115200 OK\.\.\.\n-OK-\n"
                                  r"Cannot auto-detect device type, please use -M option manually\n-ERR: -1-\n"
                                  r"Executing read_efuse [0-9A-F]+ fails\n$" % re.escape(port))
            self.assertEqual(rc, 255)


class OemAndEndLines(Station):
    """Configuration images, the device address, eFuse and reboot lines."""

    def test_configuration_image_with_and_without_no_merge_and_address(self):
        app = pattern(5000, 33)
        self.write("img/app.bin", app)
        entries = A_NEW
        self.write("img/oem.bin", image(entries))
        stored = region(0x1000, A_OLD + B_OLD)
        img = host_path(self.path("img")) + sep()
        cases = [
            # -d: the region is erased first, so it takes the image (with the
            # address entry appended when -x gives one).
            (["-d", "-x", MAC], ["pageerase 0x801000 0x2000", "configmerge %soem.bin 0x801000 %s" % (img, MAC)],
             lambda: written(image(entries + B_NEW), len(image(entries + B_NEW)), 0x2000)),
            (["-d"], ["pageerase 0x801000 0x2000", "configmerge %soem.bin 0x801000" % img],
             lambda: written(image(entries), len(image(entries)), 0x2000)),
            # Without -d the image's entries are merged into the stored region.
            ([], ["configmerge %soem.bin 0x801000" % img],
             lambda: written(merge_after(stored, A_NEW + B_OLD), len(merge_after(stored, A_NEW + B_OLD)), 0x2000)),
        ]
        for extra, oem_lines, want in cases:
            with self.subTest(extra=extra), VModule(MODULE_ARGS, iflash={0x801000: stored}) as vm:
                port = flint_port(vm)
                job = self.job(port, [("app.bin", "0x803000"), ("oem.bin", "0x801000")])
                rc, out = self.flint(["-f", job, "-a", "-M", "1"] + extra)
                lines = [l.split("] ", 1)[1] for l in out.splitlines() if l.startswith("CMD[")]
                self.assertEqual(lines, self.script(port, 1, [
                    "pageerase 0x803000 0x2000", "program %sapp.bin 0x803000" % img,
                    "flashverify %sapp.bin 0x803000" % img] + oem_lines))
                self.assertEqual(rc, 0, out)
                self.assertEqual(vm.read_iflash(0x803000, 5000), app)
                self.assertEqual(vm.read_iflash(0x801000, 0x2000), want())

    def test_address_efuse_and_reboot_of_a_single_image_run(self):
        stored = region(0x400, OTHER + OLD_MAC + TAIL)
        fuse = bytes([0x11, 0x02, 0x44, 0x80])
        self.write("efuse.json", fuse)
        with VModule(MODULE_ARGS, iflash={0x801000: stored}) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-x", MAC, "-u", "efuse.json", "-r", "-M", "1"])
            lines = [l.split("] ", 1)[1] for l in out.splitlines() if l.startswith("CMD[")]
            self.assertEqual(lines, self.script(port, 1, ["addmac %s 0x801000" % MAC, "efuseburn efuse.json",
                                                          "reboot"]))
            self.assertEqual(rc, 0, out)
            copy = addmac_after(OTHER + OLD_MAC + TAIL, OTHER + NEW_MAC + TAIL)
            self.assertEqual(vm.read_iflash(0x801000, 0x1000), written(copy, len(copy), 0x1000))
            self.assertEqual(vm.read_efuse(0, 4), fuse)
            self.assertIn("reboot, mode 3", vm.log_text())


class DebugPasswordRuns(Station):
    PASSWORD = ":".join("%02X" % (0xB0 + i) for i in range(16))

    def test_the_password_reaches_the_module(self):
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            for args in (["-c", port], ["-f", self.job(port, [])]):
                with self.subTest(args=args[0]):
                    rc, out = self.flint(args + ["-D", self.PASSWORD])
                    self.assertEqual(out, "CMD[0] ver\n%s\n-OK-\nCMD[1] connect %s\nConnecting %s at 115200 OK...\n"
                                          "-OK-\nCMD[2] dbgpasswd %s\nSend debug password successfully\n-OK-\n"
                                     % (harness.VERSION, port, port, self.PASSWORD))
                    self.assertEqual(rc, 0)
            sent = PASSWORD_COMMAND + " 10 " + self.PASSWORD.lower().replace(":", " ")
            self.assertTrue(wait_log(vm, sent, count=2), vm.log_text())

    def test_a_bad_password_fails_the_run(self):
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            short = self.PASSWORD[:-3]
            rc, out = self.flint(["-c", port, "-D", short])
            self.assertTrue(out.endswith("CMD[2] dbgpasswd %s\nconvert password error!\n-ERR: 2-\n"
                                         "Executing dbgpasswd %s fails\nsend debug password failed!\n"
                                         % (short, short)), out)
            self.assertEqual(rc, 2)
            self.assertNotIn(PASSWORD_COMMAND, vm.log_text())


class DetectionFaultTable(Station):
    """Faults on the lines of mode detection: the mode probe, flash control
    (its preparation), and the signature read that follows. A run that does
    not end with 0 has not touched the flash; one that ends with 0 holds the
    image."""

    IMAGE = pattern(3000, 41)

    def run_with(self, fault):
        """One run against a module with the fault: exit code, output, and
        the flash where the image goes."""
        with VModule(MODULE_ARGS + ["--fault", fault]) as vm:
            rc, out = self.flint(["-c", flint_port(vm), "-e", "-p", "-v", "-A", "0x802000", "-S", "0x1000",
                                  "-F", "app.bin"])
            return rc, out, vm.read_iflash(0x802000, len(self.IMAGE))

    def test_detection_faults(self):
        self.write("app.bin", self.IMAGE)
        faults = ["%s:%s:1" % (op, kind) for op in ("fc61", "fc2c")
                  for kind in ("badcrc", "status=1", "short=3", "garbage=3", "silence")]
        for fault, (rc, out, flash) in zip(faults, harness.side_by_side(faults, self.run_with)):
            with self.subTest(fault=fault):
                if rc == 0:
                    self.assertEqual(flash, self.IMAGE, out)
                else:
                    self.assertNotIn("CMD[", out, "a failed detection runs no script line")
                    self.assertEqual(flash[:16], ERASED * 16)


if __name__ == "__main__":
    unittest.main()
