"""The SWD link end to end: the real flint binary in a folder with the
simulated J-Link probe library beside it (found in the program's own folder),
driven through flint -i. Asserts the exact output, the probe calls and their
times from the simulated probe's log, and the simulated flash afterwards."""
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import simprobe_harness  # noqa: E402
from simprobe_harness import Station  # noqa: E402

OK = "-OK-\n"
OPENING = "SWD Opening...\n"
CLOSED = "SWD Closing...\nSWD Close Done.\n"
NOT_CONNECTED = "please run 'connect' cmd first.\n-ERR: -1-\n"
NO_LOADER = "please run 'loadfw' cmd first.\n"
DEVICE_USAGE = "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD interface now.\n"
NO_FAMILY = ("no SWD device family is selected: select one with 'device 4410a', 'device 4410c' or "
             "'device 4420b' first\n")
OPEN_CALLS = ["JLINKARM_SelectUSB(0)", "JLINKARM_Open()", 'JLINKARM_ExecCommand("device = Cortex-M0", 1024)',
              "JLINKARM_TIF_Select(1)", "JLINKARM_SetSpeed(%d)", "JLINKARM_Connect()"]

# Waits are proven from the probe's call times: at least the planned wait,
# and at most this much longer (a loaded machine, Wine's start-up of a call).
WAIT_SLACK_MS = 1500


def pattern(n, seed):
    return bytes((seed * 31 + i * 7 + (i >> 8)) & 0xFF for i in range(n))


def loaded(name, size):
    return "FW Loader: %s\nfile size: %d\nDownload FW success, prepare to trigger\n-OK-\n" % (name, size)


def header_words(call):
    """The mailbox header a WriteMem of the log carried: (command, address, length)."""
    m = re.search(r"head=([0-9A-F]{8}),([0-9A-F]{8}),([0-9A-F]{8})", call.result or "")
    return tuple(int(x, 16) for x in m.groups()) if m else None


class SwdCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not simprobe_harness.SIMPROBE:
            raise unittest.SkipTest("SIMPROBE is not set: no simulated probe library")

    def setUp(self):
        self.st = Station()
        self.loader = self.st.write("loader.bin", pattern(4096, 9))

    def expect(self, steps, fault="", station=None):
        """Runs the (line, expected output) steps in one shell; an expected
        output may be a compiled pattern for the whole of it."""
        st = station or self.st
        rc, out = st.run([line for line, _ in steps], fault=fault)
        self.assertEqual(rc, 0, out)
        parts = harness.split_at_prompts(out)
        self.assertEqual(parts[0], "", out)
        self.assertEqual(parts[-1], "Quit\n", out)
        got = parts[1:-1]
        self.assertEqual(len(got), len(steps), out)
        for (line, want), text in zip(steps, got):
            if isinstance(want, str):
                self.assertEqual(text, want, "line: %s" % line)
            else:
                self.assertRegex(text, want, "line: %s" % line)
        return got

    def call_texts(self):
        return ["%s(%s)" % (c.name, c.args) for c in self.st.entry_calls()]


class Open(SwdCase):
    def test_connect_opens_the_probe_in_order_with_the_speed(self):
        self.expect([("connect swd", OPENING + OK), ("connect SWD 4000", OPENING + OK),
                     ("disconnect", CLOSED + OK), ("disconnect", OK)])
        want = [c.replace("%d", "1000") for c in OPEN_CALLS] + [c.replace("%d", "4000") for c in OPEN_CALLS]
        self.assertEqual(self.call_texts(), want + ["JLINKARM_Close()"])

    def test_each_open_failure_gives_its_message_and_code_and_leaves_no_connection(self):
        rows = [
            ("no-probe", "SWD Select USB error!\n", -1, 1),
            ("open-refused", "SWD open error!\n", -2, 2),
            ("device-refused", 'Unknown device "Cortex-M0" (simulated fault)\n', -3, 3),
            ("no-target", "SWD could not connect to target.\n", -4, 6),
        ]
        for fault, message, code, calls_made in rows:
            with self.subTest(fault=fault):
                self.st.clear_log()
                self.expect([("connect swd", OPENING + message + "-ERR: %d-\n" % code),
                             ("chiperase", NOT_CONNECTED)], fault=fault)
                want = [c.replace("%d", "1000") for c in OPEN_CALLS][:calls_made]
                self.assertEqual(self.call_texts(), want)

    def test_no_probe_library_anywhere(self):
        # On Windows the not-found text is a message box, which Wine without a
        # display does not show: there the output lacks that one line.
        box = "" if harness.UNDER_WINE else \
            "J-Link ARM Error: Target DLL /opt/SEGGER/JLink/libjlinkarm.so not found !\n"
        bare = Station(with_probe=False)
        self.expect([
            ("connect swd", OPENING + box + "-ERR: -5-\n"),
            ("chiperase", NOT_CONNECTED),
            ("connect swd 4000", OPENING + box + "-ERR: -5-\n"),
            ("ver", re.compile(r"^.*1\.0\.2\.16.*\n-OK-\n$", re.S)),
        ], station=bare)

    def test_a_probe_library_that_cannot_be_loaded_is_named_with_the_reason(self):
        name = os.path.basename(simprobe_harness.SIMPROBE)
        with open(simprobe_harness.SIMPROBE, "rb") as f:
            head = f.read(4096)
        # The reason for each fault (Linux); Windows shows a box. A library
        # cut short would fault when mapped: it is refused before loading.
        rows = [("empty", b"", r"file too short"),
                ("cut short", head, r"file cut short \(4096 bytes, its segments need \d+\)"),
                ("not a library", b"not a library\n" * 10, r"invalid ELF header")]
        for what, data, reason in rows:
            with self.subTest(what=what):
                broken = Station(with_probe=False)
                path = broken.write(name, data)
                if harness.UNDER_WINE:
                    box = ""
                else:
                    box = re.compile(r"^J-Link ARM Error: Target DLL %s cannot be loaded: %s\n$"
                                     % (re.escape(path), reason))
                rc, out = broken.run(["connect swd"])
                self.assertEqual(rc, 0, out)
                text = harness.split_at_prompts(out)[1]
                self.assertTrue(text.startswith(OPENING) and text.endswith("-ERR: -5-\n"), text)
                if box:
                    self.assertRegex(text[len(OPENING):-len("-ERR: -5-\n")], box)
                else:
                    self.assertEqual(text, OPENING + "-ERR: -5-\n")


class InstallPath(SwdCase):
    """Windows: without the library beside flint.exe, the probe software's
    install path in the current user's registry names its folder."""
    KEY = r"HKCU\Software\SEGGER\J-Link"

    def setUp(self):
        if not harness.UNDER_WINE:
            self.skipTest("the install path comes from the registry on Windows only")
        super().setUp()
        self.bare = Station(with_probe=False)
        self.install = os.path.join(self.bare.dir, "SEGGER", "JLink")
        os.makedirs(self.install)
        simprobe_harness._place(simprobe_harness.SIMPROBE,
                                os.path.join(self.install, os.path.basename(simprobe_harness.SIMPROBE)))
        self.addCleanup(self.reg, "delete", self.KEY, "/f")

    def reg(self, *args):
        env = dict(os.environ)
        env.update(harness.wine_env())
        subprocess.run([harness.WINE, "reg"] + list(args), env=env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_the_recorded_folder_is_searched_with_or_without_a_closing_separator(self):
        folder = "Z:" + self.install.replace("/", "\\")
        for value in (folder + "\\", folder):
            with self.subTest(value=value):
                self.reg("add", self.KEY, "/v", "InstallPath", "/t", "REG_SZ", "/d", value, "/f")
                self.expect([("connect swd", OPENING + OK), ("disconnect", CLOSED + OK)], station=self.bare)
        self.reg("delete", self.KEY, "/f")
        self.expect([("connect swd", OPENING + "-ERR: -5-\n")], station=self.bare)


class Device(SwdCase):
    def test_families_select_load_address_and_mailbox(self):
        self.expect([
            ("connect swd", OPENING + OK),
            ("device", NO_LOADER + DEVICE_USAGE.rstrip("\n") + "-ERR: 1-\n"),
            ("device 4410a", NO_LOADER + "apply KVL4410A setting...\n" + OK),
            ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
            ("pageerase 0x800000 0x800", OK),
            ("device 4420bx", "apply KVL4420B setting...\n" + OK),
            ("device 4410c", "apply KVL4410C setting...\n" + OK),
        ])
        calls = self.st.entry_calls()
        writes = [c for c in calls if c.name == "JLINKARM_WriteMem"]
        self.assertEqual(writes[0].args, "0x20000000, 4096")
        self.assertIn("crc16=%04X" % harness.crc16(pattern(4096, 9)), writes[0].result)
        self.assertEqual(writes[1].args, "0x20002000, 12")
        regs = [c.args for c in calls if c.name == "JLINKARM_WriteReg"]
        self.assertEqual(regs, ["17, 0x20010000", "18, 0x20010000", "15, 0x20000000"])

    def test_a_failed_selection_stops_every_swd_operation_until_the_next(self):
        self.expect([
            ("connect swd", OPENING + OK),
            ("device 4430", NO_LOADER + "select device name error!\n-ERR: -1-\n"),
            ("loadfw %s KVL4410C_A 1" % self.loader,
             "FW Loader: KVL4410C_FW_A.bin\nfile size: 4096\n" + NO_FAMILY +
             re.escape("") + "loadfw: the loader download failed (-6), the loader was not started\n-ERR: -10-\n"),
        ])
        self.assertEqual([c.name for c in self.st.entry_calls()][-1], "JLINKARM_Connect")
        self.st.clear_log()
        self.expect([
            ("connect swd", OPENING + OK),
            ("device x", NO_LOADER + "select device name error!\n-ERR: -1-\n"),
            ("flashread 0x800000 0x10", NO_LOADER + NO_FAMILY + "read 16 bytes at 00800000 fails\n-ERR: -6-\n"),
            ("chiperase", NO_LOADER + NO_FAMILY + "-ERR: -6-\n"),
            ("device 4410c", NO_LOADER + "apply KVL4410C setting...\n" + OK),
            ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
            ("chiperase", OK),
        ])
        names = [c.name for c in self.st.entry_calls()]
        self.assertEqual(names[6], "JLINKARM_Halt", names)  # nothing between the open and the download

    def test_device_over_a_serial_link_warns_and_still_selects(self):
        if not harness.VMODULE:
            self.skipTest("VMODULE is not set")
        with harness.VModule() as vm:
            port = harness.flint_port(vm)
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("device 4420b", NO_LOADER + DEVICE_USAGE + "apply KVL4420B setting...\n" + OK),
                ("disconnect", OK),
                ("connect swd", OPENING + OK),
                ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
            ])
        writes = [c for c in self.st.entry_calls() if c.name == "JLINKARM_WriteMem"]
        self.assertEqual(writes[0].args, "0x10000000, 4096")


class Session(SwdCase):
    def test_loader_then_flash_commands_through_the_mailbox(self):
        app = pattern(0xD000, 1)
        old_page = pattern(0x1000, 3)
        self.st.preload({0x801000: old_page, 0x840000: pattern(0x100, 4)})
        app_path = self.st.write("app.bin", app)
        dump_path = self.st.path("dump.bin")
        self.expect([
            ("pageerase 0x800000 0x1000", NOT_CONNECTED),
            ("connect swd", OPENING + OK),
            # No loader runs yet: the request stays unserved and its command word reads back as the status.
            ("pageerase 0x802000 0xE000",
             NO_LOADER + "SWD mailbox request 4 at 00802000: the loader reports status 4\n-ERR: 4-\n"),
            ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
            ("pageerase 0x802000 0xE000", OK),
            ("program %s 0x802000" % app_path, "file size: %d\npayload length: %d\n" % (len(app), len(app)) + OK),
            ("flashread 0x802000 0x25", harness.dump_lines(0x802000, app[:0x25]) + OK),
            ("savebin %s 0x802000 0xD000" % dump_path, OK),
            ("modify 0x801234 11:22", OK),
            ("flashverify %s 0x802000" % app_path,
             "verify is not available on this link\n-ERR: -1-\n"),
            ("extflashid", "ext_flash_id is not available on this link\n-ERR: -1-\n"),
            ("be64 0x800000 0x10000", "block64_erase is not available on this link\n-ERR: -1-\n"),
            ("disconnect", CLOSED + OK),
        ])
        self.assertEqual(self.st.read_flash(0x802000, len(app)), app)
        with open(dump_path, "rb") as f:
            self.assertEqual(f.read(), app)
        page = bytearray(old_page)
        page[0x234:0x236] = b"\x11\x22"
        self.assertEqual(self.st.read_flash(0x801000, 0x1000), bytes(page))
        self.assertEqual(self.st.read_flash(0x840000, 0x100), pattern(0x100, 4))

        # A program chunk goes to the probe in one call with its 12-byte header.
        writes = [c for c in self.st.entry_calls() if c.name == "JLINKARM_WriteMem"]
        programs = [(w.args, header_words(w)) for w in writes if header_words(w) and header_words(w)[0] == 3]
        self.assertEqual(programs[:2], [("0x00202000, %d" % (12 + 0xC000), (3, 0x802000, 0xC000)),
                                        ("0x00202000, %d" % (12 + 0x1000), (3, 0x80E000, 0x1000))])

    def test_chip_erase_empties_the_flash(self):
        self.st.preload({0x800000: pattern(0x1000, 5)})
        self.expect([("connect swd", OPENING + OK),
                     ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
                     ("chiperase", OK)])
        self.assertEqual(self.st.read_flash(0x800000, 0x1000), b"\xff" * 0x1000)


class Timing(SwdCase):
    def gaps(self, command):
        """For each mailbox request of the given command: (header, ms from
        letting the CPU run to reading the status)."""
        calls = self.st.entry_calls()
        out = []
        for i, c in enumerate(calls):
            head = header_words(c) if c.name == "JLINKARM_WriteMem" else None
            if c.name == "JLINKARM_WriteMem" and c.args.endswith(", 4") and command == 5:
                head = (5, 0, 0)
            if head is None or head[0] != command:
                continue
            go, status = calls[i + 1], calls[i + 2]
            self.assertEqual((go.name, status.name), ("JLINKARM_Go", "JLINKARM_ReadMemU32"))
            out.append((head, status.ms - go.ms, c.args))
        return out

    def assert_wait(self, got, planned):
        sys.stderr.write("  wait planned %5d ms, measured %8.1f ms\n" % (planned, got))
        self.assertGreaterEqual(got, planned - 1, "waited %.1f ms, planned %d" % (got, planned))
        self.assertLess(got, planned + WAIT_SLACK_MS, "waited %.1f ms, planned %d" % (got, planned))

    def test_waits_grow_with_what_remains(self):
        data = pattern(0x18001, 6)
        self.st.preload({0x800000: data})
        out = self.expect([
            ("connect swd", OPENING + OK),
            ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
            ("flashread 0x800000 0x18001", re.compile(r"^00800000 = .*-OK-\n$", re.S)),
            ("pageerase 0x800000 0x1000", OK),
            ("chiperase", OK),
        ])
        self.assertEqual(out[2], harness.dump_lines(0x800000, data) + OK)
        reads = self.gaps(2)
        self.assertEqual([h for h, _, _ in reads],
                         [(2, 0x800000, 0xC000), (2, 0x80C000, 0xC000), (2, 0x818000, 1)])
        for (_, got, _), planned in zip(reads, [7200, 3600, 0]):
            self.assert_wait(got, planned)
        erases = self.gaps(4)
        self.assertEqual([h for h, _, _ in erases], [(4, 0x800000, 0x1000)])
        self.assert_wait(erases[0][1], 300)
        chip = self.gaps(5)
        self.assertEqual([a for _, _, a in chip], ["0x00202000, 4"])
        self.assert_wait(chip[0][1], 150)


class Faults(SwdCase):
    def test_short_download_touches_no_register(self):
        small = self.st.write("small.bin", pattern(1000, 7))
        self.expect([
            ("connect swd", OPENING + OK),
            ("loadfw %s KVL4410C_A 1" % small,
             "FW Loader: KVL4410C_FW_A.bin\nfile size: 1000\nNeeded 1000 bytes, written 996 bytes\n"
             "loadfw: the loader download failed (-1), the loader was not started\n-ERR: -10-\n"),
        ], fault="short-write=4")
        names = [c.name for c in self.st.entry_calls()]
        self.assertNotIn("JLINKARM_WriteReg", names)
        self.assertNotIn("JLINKARM_Go", names[:names.index("JLINKARM_WriteMem") + 1])

    def test_download_failures(self):
        rows = [
            ("halt-refused", "Halt error\n", -1),
            ("reg-refused=17", "Write MSP fail!\n", -2),
            ("reg-refused=18", "Write PSP fail!\n", -3),
            ("reg-refused=15", "Write PC fail!\n", -2),
        ]
        for fault, message, code in rows:
            with self.subTest(fault=fault):
                self.st.clear_log()
                self.expect([
                    ("connect swd", OPENING + OK),
                    ("loadfw %s KVL4410C_A 1" % self.loader,
                     "FW Loader: KVL4410C_FW_A.bin\nfile size: 4096\n" + message +
                     "loadfw: the loader download failed (%d), the loader was not started\n-ERR: -10-\n" % code),
                ], fault=fault)
                self.assertNotIn("JLINKARM_Go", [c.name for c in self.st.entry_calls()])

    def test_loader_status_is_the_result(self):
        app_path = self.st.write("app.bin", pattern(0x100, 8))
        status = "SWD mailbox request %d at %08X: the loader reports status 5\n"
        self.expect([
            ("connect swd", OPENING + OK),
            ("loadfw %s KVL4410C_A 1" % self.loader, loaded("KVL4410C_FW_A.bin", 4096)),
            ("pageerase 0x800000 0x1000", status % (4, 0x800000) + "-ERR: 5-\n"),
            ("chiperase", status % (5, 0) + "-ERR: 5-\n"),
            ("program %s 0x800000" % app_path,
             "file size: 256\npayload length: 256\n" + status % (3, 0x800000) + "-ERR: 5-\n"),
            ("flashread 0x800000 0x10", status % (2, 0x800000) + "read 16 bytes at 00800000 fails\n-ERR: 5-\n"),
        ], fault="status=5")


if __name__ == "__main__":
    unittest.main(verbosity=2)
