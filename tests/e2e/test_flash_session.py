"""Whole flash sessions: the real flint shell against the virtual module, over
the pseudo-terminal (loader downloaded by vendor writes or by the raw trigger,
and HCI-mode programming) and over the USB socket. Every command's output and
result is compared exactly, and the module's memory afterwards holds what the
commands wrote."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import PROMPT, VModule, dump_lines, flint_port, run_flint, shell_script  # noqa: E402

LOADER = "KVL4420B_FW_V3.bin"
LOADER_BYTES = 4096
CHUNK = 252
FLASH_ID = "RDID(JEDEC) = 164020\n"
EXT_FLASH_ID = "RDID(JEDEC) = 1640EF\n"
PROPERTIES = ("ID:\n\t  4420 - KVL4420B_V3\n"
              "Avail RAM for SWD:\n\tStart(HEX): 20000000, Size:    32768 bytes\n"
              "Internal Flash:\n\tStart(HEX):   800000, Size:  1048576 bytes\n"
              "External Flash:\n\tStart(HEX):        0, Size:  4194304 bytes\n")
MODULE_ARGS = ["--prop-id", "0x4420", "--prop-name", "KVL4420B_V3", "--flash-id", "0x164020",
               "--ext-flash-id", "0x1640EF"]
OK = "-OK-\n"
# The trigger of record 6: vendor write of 0x10080C01 to 0x1000228C.
RECORD6_TRIGGER = "01 62 fc 09 20 8c 22 00 10 01 0c 08 10"
RAW_TRIGGER = "01 20 fc 01 80"


def pattern(n, seed):
    return bytes((seed + k * 29 + (k >> 7)) & 0xFF for k in range(n))


def download_lines(size=LOADER_BYTES):
    """What the loader download over HCI prints: one write line and one
    echo of the 8-byte answer per chunk."""
    chunks = (size + CHUNK - 1) // CHUNK
    return "".join("send write command!\ndump recv bytes: 04 0E 05 02 20 FC 00 %02X\n" % i
                   for i in range(chunks))


def loaded(trigger_lines="Vendor Write OK!\n"):
    return ("FW Loader: %s\nfile size: %d\n" % (LOADER, LOADER_BYTES) + download_lines()
            + "Download FW success, prepare to trigger\n" + trigger_lines + OK)


def crc_line(data):
    return "crc16 = %04X\n" % harness.crc16(data)


def log_lines(vm, direction):
    """The module's log lines of one direction, as (state, rate, hex text)."""
    out = []
    for line in vm.log_text().splitlines():
        words = line.split(" ", 4)
        if len(words) == 5 and words[1] == direction:
            out.append((words[2], words[3], words[4]))
    return out


class SessionCase(harness.ShellSession):
    SCRATCH = "session"


class VendorWriteSession(SessionCase):
    def test_mode1_session_over_the_serial_link(self):
        app = pattern(5000, 1)
        payload = pattern(0x800, 2)
        app_path = self.write("app.bin", app)
        hdr_path = self.write("hdr.bin", harness.header_image(payload, trailer=b"\xAB" * 100))
        old_page = pattern(4096, 3)
        dump_path = self.path("dump.bin")
        preload = {0x801000: old_page, 0x810000: pattern(0x10000, 4)}
        ext_preload = {0x10000: pattern(0x10000, 5), 0x20000: pattern(0x8000, 6), 0x2000: b"\x00" * 16}
        with VModule(MODULE_ARGS, iflash=preload, eflash=ext_preload) as vm:
            port = flint_port(vm)
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw --autodetect %s 1" % self.fw, loaded()),
                ("getprop", PROPERTIES + OK),
                ("setbaudrate 1000000", "send set baudrate command!\nset baudrate command ok!\n"
                                        "set baudrate: 1000000 successfully\n" + OK),
                ("pageerase 0x802000 0x2000", "send erase command!\n" + OK),
                ("program %s 0x802000" % app_path,
                 "file size: 5000\npayload length: 5000\nsend write command!\n" + OK),
                ("flashverify %s 0x802000" % app_path,
                 "file size: 5000\npayload length: 5000\n" + crc_line(app) + OK),
                ("pageerase 0x806000 0x1000", "send erase command!\n" + OK),
                ("program %s 0x806000" % hdr_path,
                 "file size: 2660\npayload length: 2048\nsend write command!\n" + OK),
                ("flashverify %s 0x806000" % hdr_path,
                 "file size: 2660\npayload length: 2048\n" + crc_line(payload) + OK),
                ("flashread 0x802000 0x25", "send read command!\n" + dump_lines(0x802000, app[:0x25]) + OK),
                ("savebin %s 0x802000 0x1388" % dump_path, "send read command!\n" + OK),
                ("modify 0x801234 11:22",
                 "send read command!\nsend erase command!\nsend write command!\n" + OK),
                ("be64 0x810000 0x10000", "send erase command!\n" + OK),
                ("flashid", FLASH_ID + OK),
                ("extflashid", EXT_FLASH_ID + OK),
                ("device 4420b", "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD interface now.\n"
                                 "apply KVL4420B setting...\n" + OK),
                ("extbe64 0x10000 0x10000", "send ext be64 erase command!\n" + OK),
                ("extbe32 0x20000 0x8000", "send erase command!\n" + OK),
                ("extsectorerase 0 0x3000", "send ext erase command!\n" + OK),
                ("extprogram %s 0" % app_path, "file size: 5000\nsend ext write command!\n" + OK),
                ("extflashverify %s 0" % app_path, "file size: 5000\n" + crc_line(app) * 2 + OK),
                ("extflashread 0 0x10", "send ext read command!\n" + dump_lines(0, app[:16]) + OK),
                ("loadfw --autodetect %s 1" % self.fw, "FW has been loaded.\n" + OK),
                ("disconnect", OK),
                ("disconnect", OK),
            ])
            self.assertEqual(vm.read_iflash(0x802000, 5000), app)
            self.assertEqual(vm.read_iflash(0x802000 + 5000, 0x2000 - 5000), b"\xFF" * (0x2000 - 5000))
            self.assertEqual(vm.read_iflash(0x806000, 0x1000), payload + b"\xFF" * 0x800)
            new_page = bytearray(old_page)
            new_page[0x234:0x236] = b"\x11\x22"
            self.assertEqual(vm.read_iflash(0x801000, 4096), bytes(new_page))
            self.assertEqual(vm.read_iflash(0x810000, 0x10000), b"\xFF" * 0x10000)
            self.assertEqual(vm.read_eflash(0, 5000), app)
            self.assertEqual(vm.read_eflash(0x10000, 0x10000), b"\xFF" * 0x10000)
            self.assertEqual(vm.read_eflash(0x20000, 0x8000), b"\xFF" * 0x8000)
            with open(dump_path, "rb") as f:
                self.assertEqual(f.read(), app)

            received = log_lines(vm, "rx")
            chunks = [hexes for state, _, hexes in received if hexes.startswith("01 20 fc")]
            self.assertEqual(len(chunks), 17)
            self.assertTrue(all(c.startswith("01 20 fc fd %02x" % i) for i, c in enumerate(chunks[:16])))
            self.assertTrue(chunks[16].startswith("01 20 fc 41 10"))
            self.assertIn(RECORD6_TRIGGER, [h for _, _, h in received])
            rates = [rate for state, rate, _ in received if state == "loader"]
            self.assertEqual(rates[0], "115200")
            self.assertEqual(rates[-1], "1000000")

    def test_named_cut_follows_the_records_own_trigger(self):
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfirmware %s/%s KVL4420B_V3 1" % (self.fw, LOADER),
                 loaded("send write command to trigger!\n")),
                ("flashid", FLASH_ID + OK),
            ])
            self.assertNotIn(RECORD6_TRIGGER, vm.log_text())


class RawTriggerSession(SessionCase):
    def test_mode3_session_with_small_packets(self):
        app = pattern(5000, 7)
        app_path = self.write("app.bin", app)
        with VModule(MODULE_ARGS, iflash={0x800000: pattern(0x1000, 8), 0x8FF000: b"\x00" * 16},
                     eflash={0x3FF000: b"\x00" * 16}) as vm:
            port = flint_port(vm)
            self.expect([
                ("setenv DATA_SIZE_PER_PACKET 4096", OK),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw --autodetect %s 3" % self.fw, loaded("send write command to trigger!\n")),
                ("chiperase", "send chip erase command!\nset timeout to 200000\n" + OK),
                ("extchiperase", "send ext chip erase command!\n" + OK),
                ("program %s 0x800000" % app_path,
                 "file size: 5000\npayload length: 5000\n" + "send write command!\n" * 2 + OK),
                ("flashverify %s 0x800000" % app_path,
                 "file size: 5000\npayload length: 5000\n" + crc_line(app) + OK),
                ("extchiperase now", "Usage:\n\textchiperase\n-ERR: 1-\n"),
                ("disconnect", OK),
            ])
            self.assertEqual(vm.read_iflash(0x800000, 5000), app)
            self.assertEqual(vm.read_iflash(0x8FF000, 16), b"\xFF" * 16)
            self.assertEqual(vm.read_eflash(0x3FF000, 16), b"\xFF" * 16)
            received = [h for _, _, h in log_lines(vm, "rx")]
            self.assertTrue(any(h.startswith(RAW_TRIGGER) for h in received))
            self.assertFalse(any(h.startswith("01 62 fc") for h in received))


class HciModeSession(SessionCase):
    def test_mode0_programs_with_vendor_commands(self):
        app = pattern(1000, 9)
        app_path = self.write("app.bin", app)
        old_page = pattern(4096, 10)
        with VModule(MODULE_ARGS, iflash={0x801000: old_page, 0x8F0000: b"\x00" * 64}) as vm:
            port = flint_port(vm)
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("flashread 0x8F0000 0x10", "please run 'loadfw' cmd first.\n" + dump_lines(0x8F0000, bytes(16)) + OK),
                ("pageerase 0x8F0000 0x800", "please run 'loadfw' cmd first.\n" + "HCI Event Status fail.\n"
                 "Erase page at 0x008F0000 fail.\n-ERR: 1-\n"),
                ("loadfw --autodetect 0", OK),
                ("pageerase 0x8F0000 0x800", OK),
                ("setbaudrate 1000000", "set baudrate: 1000000 successfully\n" + OK),
                ("pageerase 0x802000 0x800", OK),
                ("program %s 0x802000" % app_path, "file size: 1000\npayload length: 1000\n" + OK),
                ("flashverify %s 0x802000" % app_path, "file size: 1000\npayload length: 1000\n" + OK),
                ("flashread 0x802000 0x25", dump_lines(0x802000, app[:0x25]) + OK),
                ("modify 0x801234 11:22", OK),
                ("flashid", FLASH_ID + OK),
                ("getprop", "get_prop is not available on this link\n-ERR: -1-\n"),
                ("extflashid", "ext_flash_id is not available on this link\n-ERR: -1-\n"),
                ("extprogram %s 0" % app_path, "ext_program is not available on this link\n-ERR: -1-\n"),
                ("be64 0x810000 0x10000", "block64_erase is not available on this link\n-ERR: -1-\n"),
                ("disconnect", OK),
            ])
            self.assertEqual(vm.read_iflash(0x802000, 1000), app)
            self.assertEqual(vm.read_iflash(0x8F0000, 64), b"\xFF" * 64)
            new_page = bytearray(old_page)
            new_page[0x234:0x236] = b"\x11\x22"
            self.assertEqual(vm.read_iflash(0x801000, 4096), bytes(new_page))
            rates = [rate for _, rate, _ in log_lines(vm, "rx")]
            self.assertEqual(rates[-1], "1000000")


class UsbSession(SessionCase):
    @unittest.skipIf(harness.UNDER_WINE, "under Wine: the module's USB socket is a Unix message "
                     "socket, which the Windows build cannot open")
    def test_usb_session_uses_the_usb_table(self):
        app = pattern(3000, 11)
        app_path = self.write("app.bin", app)
        with VModule(MODULE_ARGS, iflash={0x801000: pattern(4096, 12)}, usb=True) as vm:
            self.expect([
                ("connect usb", "Connecting usb sucessed\n" + OK),
                ("loadfw --autodetect %s 1" % self.fw, "download_fw is not available on this link\n-ERR: -1-\n"),
                ("loadfw --autodetect 4", OK),
                ("pageerase 0x802000 0x1000", "send erase command!\n" + OK),
                ("program %s 0x802000" % app_path,
                 "file size: 3000\npayload length: 3000\nsend write command!\n" + OK),
                ("flashverify %s 0x802000" % app_path,
                 "file size: 3000\npayload length: 3000\n" + crc_line(app) + OK),
                ("flashread 0x802000 0x11", "send read command!\n" + dump_lines(0x802000, app[:0x11]) + OK),
                ("modify 0x801FFE AA:BB",
                 "send read command!\nsend erase command!\nsend write command!\n" + OK),
                ("flashid", FLASH_ID + OK),
                ("extflashid", EXT_FLASH_ID + OK),
                ("getprop", "get_prop is not available on this link\n-ERR: -1-\n"),
                ("setbaudrate 1000000", "set_baudrate is not available on this link\n-ERR: -1-\n"),
                ("extprogram %s 0" % app_path, "ext_program is not available on this link\n-ERR: -1-\n"),
                ("disconnect", OK),
                ("connect usb", "Connecting usb sucessed\n" + OK),
                ("extflashid", "please run 'loadfw' cmd first.\n" + EXT_FLASH_ID + OK),
            ], env=vm.usb_env)
            self.assertEqual(vm.read_iflash(0x802000, 3000), app)
            self.assertEqual(vm.read_iflash(0x801FFE, 2), b"\xAA\xBB")

    def test_usb_without_a_device(self):
        rc, out = run_flint(["-i"], "connect usb\npageerase 0 1\n", cwd=self.dir,
                            env={"FLINT_USB_DEVICE": ""})
        self.assertEqual(out, PROMPT + "usb port open failed\nConnecting usb failed\n-ERR: -1-\n"
                         + PROMPT + "please run 'connect' cmd first.\n-ERR: -1-\n" + PROMPT + "Quit\n")

    def test_usb_device_not_named_or_not_attached(self):
        """No device named, and a VID:PID that no attached device has (the
        real libusb looks for it and finds nothing; on Windows through its
        WinUSB backend): the failure lines, then the shell goes on."""
        for device in [None, "0000:0000"]:
            with self.subTest(device=device):
                rc, out = run_flint(["-i"], "connect usb\npageerase 0 1\n", cwd=self.dir,
                                    env={"FLINT_USB_DEVICE": device})
                self.assertEqual(rc, 0, out)
                self.assertEqual(out, PROMPT + "usb port open failed\nConnecting usb failed\n-ERR: -1-\n"
                                 + PROMPT + "please run 'connect' cmd first.\n-ERR: -1-\n" + PROMPT + "Quit\n")


class GuardsAndArguments(SessionCase):
    def test_states_and_argument_rules(self):
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            self.expect([
                ("disconnect", OK),
                ("getprop", "please run 'connect' cmd first.\n-ERR: -1-\n"),
                ("loadfw --autodetect %s 1" % self.fw, "please run 'connect' cmd first.\n-ERR: -2-\n"),
                ("connect %s 921600 x" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw %s" % self.fw, harness_usage_loadfw() + "-ERR: -1-\n"),
                ("loadfw %s/%s kvl4420b_v3 1" % (self.fw, LOADER), "-ERR: -7-\n"),
                ("loadfw %s 1" % self.fw, "wrong number of parameters\n" + harness_usage_loadfw() + "-ERR: -6-\n"),
                ("loadfw --autodetect %s 1" % self.fw, loaded()),
                ("disconnect", OK),
                ("loadfw --autodetect 2", OK),
                ("loadfw --autodetect %s 3" % self.fw, "FW has been loaded.\n" + OK),
                ("loadfw --autodetect 4", OK),
                ("connect nosuch", "open nosuch error!\n-ERR: 2-\n"),
                ("connect COM3 921600 x", re.compile(r"^Connecting COM3 at 115200 (OK\.\.\.\n-OK-|Fail\.\.\.\n-ERR: -1-)\n$")),
                ("disconnect", OK),
                ("connect", "list all ports: to be implemented.\n-ERR: 1-\n"),
                ("connect swd", SWD_MISSING),
                ("device 4420b", "please run 'connect' cmd first.\n-ERR: -1-\n"),
                # A serial port opens the serial port, whatever table an
                # earlier USB or SWD connection left in force.
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
            ])
            self.assertTrue(all(rate == "115200" for _, rate, _ in log_lines(vm, "rx")))

    def test_unusable_loader_images_start_nothing(self):
        odd = self.write("odd.bin", pattern(1001, 13))
        empty = self.write("empty.bin", b"")
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            bad = re.compile(r"^FW Loader: KVL4420B_FW_V3\.bin\nfile size: (1001|0)\n"
                             r"loadfw: .*\n-ERR: -9-\n$")
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw %s KVL4420B_V3_SE 1" % odd, bad),
                ("loadfw %s KVL4420B_V3_SE 1" % empty, bad),
            ])
            self.assertNotIn("01 20 fc", vm.log_text())
            # Nothing was started: the state still asks for a loader.
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw --autodetect %s 1" % self.fw, loaded()),
            ])


def harness_usage_loadfw():
    return ("Usage:\n\tloadfw fw_img ic_cut program_mode\n\tloadfw --autodetect fw_dir program_mode\n"
            "\tloadfw --autodetect program_mode\n\tic cut: KVL4410A KVL4410C_A KVL4410C_B "
            "KVL4420B_V1 KVL4420B_V2 KVL4420B_V3 KVL4420B_V3_SE\n")


# No probe library beside flint in the build folder (nor installed): the SWD
# open fails after the not-found text (a message box on Windows, which Wine
# without a display does not show).
SWD_MISSING = re.compile(r"^SWD Opening\.\.\.\n(J-Link ARM Error: Target DLL \S+ not found !\n)?-ERR: -5-\n$")
CRC_ERROR = r"crc16 error! read [0-9a-f]{4} != cacled [0-9a-f]{4}\n"


class ModuleFaults(SessionCase):
    """Each fault of the module reaches the shell as the failing operation's
    own message and result, and the next command works."""

    def loader_session(self, case):
        """connect, loadfw, the case's lines and flashid against a module
        with the case's fault: the port and the output of each line."""
        fault, lines, _ = case
        with VModule(MODULE_ARGS + ["--fault", fault]) as vm:
            port = flint_port(vm)
            lines = [line.replace("APP", self.path("app.bin")) for line in lines]
            return port, self.shell(["connect %s" % port, "loadfw --autodetect %s 1" % self.fw] + lines + ["flashid"])

    def test_loader_faults(self):
        cases = [
            ("1030:status=5", ["pageerase 0x802000 0x1000"],
             r"^send erase command!\nSector Erase Error: 5\n-ERR: 1-\n$"),
            ("1030:badcrc", ["pageerase 0x802000 0x1000"], "^send erase command!\n" + CRC_ERROR + "-ERR: -1-\n$"),
            ("1030:short=6", ["pageerase 0x802000 0x1000"],
             r"^send erase command!\nrecv timeout! need 10 bytes, read 6 bytes\.\n-ERR: 2-\n$"),
            ("1030:silence", ["pageerase 0x802000 0x1000"],
             r"^send erase command!\nrecv timeout! need 10 bytes, read 0 bytes\.\n-ERR: 2-\n$"),
            ("1030:garbage=3", ["pageerase 0x802000 0x1000"],
             "^send erase command!\n" + CRC_ERROR + "-ERR: -1-\n$"),
            ("1032:corrupt", ["pageerase 0x802000 0x1000", "program APP 0x802000", "flashverify APP 0x802000"],
             r"^file size: 2048\npayload length: 2048\ncrc16 = [0-9A-F]{4}\nFlash Verify Error: \d+\n-ERR: 1-\n$"),
            ("1032:status=3", ["program APP 0x802000"],
             r"^file size: 2048\npayload length: 2048\nsend write command!\nProgram Error: 3\n-ERR: 1-\n$"),
            ("1033:status=4", ["flashread 0x802000 0x10"],
             r"^send read command!\nFlash Read Error: 4\nread 16 bytes at 00802000 fails\n-ERR: -1-\n$"),
            ("1000:status=7", ["getprop"], r"^Get Property Error: 7\n-ERR: -1-\n$"),
            ("1031:status=2", ["chiperase"],
             r"^send chip erase command!\nset timeout to 200000\nChip Erase Error: 2\n-ERR: -1-\n$"),
            ("103a:status=9", ["extprogram APP 0"],
             r"^file size: 2048\nsend ext write command!\nExt Program Error: 9\n-ERR: -1-\n$"),
            ("1051:status=1", ["extflashverify APP 0"],
             r"^file size: 2048\ncrc16 = ([0-9A-F]{4})\ncrc16 = \1\nExt Flash Verify Error: 1\n-ERR: -1-\n$"),
            ("103d:status=4", ["flashid"], r"^Read Flash ID Error: 4\nRDID\(JEDEC\) = FFFFFF\n-OK-\n$"),
            ("1010:status=6", ["setbaudrate 1000000"],
             r"^send set baudrate command!\nSet Baudrate Error: 6\n-ERR: 1-\n$"),
        ]
        self.write("app.bin", pattern(2048, 14))
        for (fault, _, want), (port, got) in zip(cases, harness.side_by_side(cases, self.loader_session)):
            with self.subTest(fault=fault):
                self.assertEqual(got[0], "Connecting %s at 115200 OK...\n-OK-\n" % port)
                self.assertEqual(got[1], loaded())
                self.assertRegex(got[-2], want, fault)
                self.assertEqual(got[-1], FLASH_ID + OK, fault)

    def test_hci_faults_during_loadfw(self):
        cases = [
            # The first chunk is refused; the shell goes on and a second download works.
            ("fc20:status=1", [], r"HCI Event Status fail\.\n"
             r"loadfw: the loader download failed \(3\), the loader was not started\n-ERR: -10-\n$"),
            ("fc2d:status=1", [], r"Detect FW Fail\n-ERR: -3-\n$"),
        ]
        for fault, _, want in cases:
            with self.subTest(fault=fault), VModule(MODULE_ARGS + ["--fault", fault]) as vm:
                port = flint_port(vm)
                got = self.shell(["connect %s" % port, "loadfw --autodetect %s 1" % self.fw,
                                  "loadfw --autodetect %s 1" % self.fw, "flashid"])
                self.assertRegex(got[1], want)
                self.assertEqual(got[2], loaded())
                self.assertEqual(got[3], FLASH_ID + OK)

    def hci_session(self, case):
        """connect, loadfw in HCI mode, the case's line and flashid against a
        module with the case's fault: the output of each line."""
        fault, line, _ = case
        with VModule(MODULE_ARGS + ["--fault", fault]) as vm:
            return self.shell(["connect %s" % flint_port(vm), "loadfw --autodetect 0",
                               line.replace("APP", self.path("app.bin")), "flashid"])

    def test_hci_mode_faults(self):
        cases = [
            ("fc2b:status=2", "pageerase 0x802000 0x1000",
             r"^HCI Event Status fail\.\nErase page at 0x00802000 fail\.\n-ERR: 1-\n$"),
            ("fc2e:status=1", "program APP 0x802000",
             r"^file size: 64\npayload length: 64\nHCI Event Status fail\.\nWrite 64 bytes to 0x00802000 fail\.\n-ERR: 1-\n$"),
            ("fc2d:short=4", "flashread 0x802000 0x10",
             r"^[^\n]+\nRead 16 bytes from 0x00802000 fail\.\nread 16 bytes at 00802000 fails\n-ERR: 1-\n$"),
            # Flash control: init, configuration load and unlock pass first.
            ("fc2c:silence:1:3", "flashid", r"^[^\n]+\nGet Flash ID Fail!\nRDID\(JEDEC\) = FFFFFF\n-OK-\n$"),
        ]
        self.write("app.bin", pattern(64, 15))
        for (fault, _, want), got in zip(cases, harness.side_by_side(cases, self.hci_session)):
            with self.subTest(fault=fault):
                self.assertEqual(got[1], OK, fault)
                self.assertRegex(got[2], want, fault)
                self.assertEqual(got[3], FLASH_ID + OK, fault)

    def test_signatures_without_a_loader(self):
        cases = [("0x12345678", "1", "Detect FW Fail\n-ERR: -4-\n"),
                 ("0x2000EB01", "3", "-ERR: -5-\n")]
        for signature, mode, want in cases:
            with self.subTest(signature=signature), VModule(MODULE_ARGS + ["--signature", signature]) as vm:
                port = flint_port(vm)
                got = self.shell(["connect %s" % port, "loadfw --autodetect %s %s" % (self.fw, mode)])
                self.assertEqual(got[1], want)


if __name__ == "__main__":
    unittest.main()
