"""The commands that act on the module as a whole (efuseburn, read_efuse,
dbgpasswd, reboot, gdmabeg) and the two that update its OEM configuration
region (addmac, configmerge): the real flint shell against the virtual module
over the pseudo-terminal and over the USB socket. Outputs and results are
compared exactly; the module's eFuse, flash and log show what reached it.

read_efuse stores into the program mode field of a one-shot run, which the
shell does not have: those cases run the mode field runner (a test program
over flint's own command code that registers a field the way the one-shot
front end does and runs command lines through the same dispatcher)."""
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port, run_flint, shell_script  # noqa: E402

MODE_RUNNER = os.environ.get("FLINT_MODE_RUNNER", "")
LOADER = "KVL4420B_FW_V3.bin"
LOADER_BYTES = 4096
CHUNK = 252
OK = "-OK-\n"
USB_SKIP = ("under Wine: the module's USB socket is a Unix message socket, which the Windows build "
            "cannot open")

ADDMAC_REGION = 0x801000
MERGE_REGION = 0x802000
MAC = "00:11:22:33:44:55"
MAC_DATA = bytes([0x55, 0x44, 0x33, 0x22, 0x11, 0x00])
FULL_MASK = b"\xFF" * 6

# Loader request codes as the module's log shows them (little-endian).
ERASE_REQUEST = "87 30 10"
PROGRAM_REQUEST = "87 32 10"
EFUSE_REQUEST = "87 61 10"
PASSWORD_COMMAND = "01 60 fd"


def pattern(n, seed):
    return bytes((seed + k * 29 + (k >> 7)) & 0xFF for k in range(n))


def loaded():
    chunks = (LOADER_BYTES + CHUNK - 1) // CHUNK
    return ("FW Loader: %s\nfile size: %d\n" % (LOADER, LOADER_BYTES)
            + "".join("send write command!\ndump recv bytes: 04 0E 05 02 20 FC 00 %02X\n" % i
                      for i in range(chunks))
            + "Download FW success, prepare to trigger\nVendor Write OK!\n" + OK)


def crc_line(data):
    return "crc16 = %04X\n" % harness.crc16(data)


def le16(v):
    return v.to_bytes(2, "little")


def le32(v):
    return v.to_bytes(4, "little")


def entry(ident, data, mask):
    """A configuration entry: id, len, data, mask."""
    assert len(data) == len(mask)
    return le16(ident) + bytes([len(data)]) + data + mask


def region(block_at, entries, head=b"\xB1\xB2\xB3\xB4", seed=21):
    """A stored region: arbitrary bytes up to the block (the block size at
    offset 8), then the block header and the entries."""
    front = bytearray(pattern(block_at, seed))
    front[8:12] = le32(6 + len(entries))
    return bytes(front) + head + le16(len(entries)) + entries


def image(entries, ident=0x278E, length=None):
    """An OEM configuration image: ID at 4, block size at 8, the block at
    0x1000 (entries length `length`, by default that of the entries)."""
    front = bytearray(pattern(0x1000, 31))
    front[4:6] = le16(ident)
    front[8:12] = le32(6 + len(entries))
    return bytes(front) + b"\xC1\xC2\xC3\xC4" + le16(len(entries) if length is None else length) + entries


def written(copy, length, erase_size):
    """The region after a write-back: the copy's first `length` bytes, then
    erased flash to the end of the erased range."""
    return copy[:length] + b"\xFF" * (erase_size - length)


def rx_lines(vm):
    """The hex of every request the module received."""
    out = []
    for line in vm.log_text().splitlines():
        words = line.split(" ", 4)
        if len(words) == 5 and words[1] == "rx":
            out.append(words[4])
    return out


def requests(vm, start):
    return [h for h in rx_lines(vm) if h.startswith(start)]


def wait_log(vm, text, count=1, timeout=5.0):
    """True once the module's log holds `text` `count` times: a command that
    awaits no answer may end flint before the module has taken it in."""
    end = time.monotonic() + timeout
    while vm.log_text().count(text) < count:
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


class ModuleCase(harness.ShellSession):
    SCRATCH = "efuse"

    def serial_start(self, vm):
        port = flint_port(vm)
        return [("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw --autodetect %s 1" % self.fw, loaded())]

    @staticmethod
    def usb_start():
        return [("connect usb", "Connecting usb sucessed\n" + OK), ("loadfw --autodetect 4", OK)]

    def each_link(self):
        """(name, start steps, flint environment) for the serial link and,
        where the build can reach the socket, USB."""
        links = [("serial", self.serial_start, None)]
        if not harness.UNDER_WINE:
            links.append(("usb", lambda vm: self.usb_start(), "usb"))
        return links

    def module(self, link, *args, **kw):
        return VModule(list(args), usb=(link == "usb"), **kw)


# ------------------------------------------------------------------ eFuse, password, reboot

class EfuseBurn(ModuleCase):
    def test_small_file_is_ored_into_the_efuse_over_each_link(self):
        data = bytes([0x01, 0x02, 0x40, 0x80, 0x00, 0xF0])
        path = self.write("efuse.json", data)
        for link, start, env in self.each_link():
            with self.subTest(link=link):
                vm = self.module(link)
                with open(vm.efuse, "wb") as f:  # bits already burned stay set
                    f.write(bytes([0x10, 0x00, 0x04, 0x00]) + bytes(0x3FC))
                with vm:
                    self.expect(start(vm) + [("efuseburn %s" % path, "file size: 6\n" + OK)],
                                env=vm.usb_env if env else None)
                    self.assertEqual(vm.read_efuse(0, 8), bytes([0x11, 0x02, 0x44, 0x80, 0x00, 0xF0, 0, 0]))
                    self.assertEqual(len(requests(vm, EFUSE_REQUEST)), 1)

    def test_refusals_send_nothing(self):
        too_large = self.write("large.json", bytes(32773))
        missing = self.path("missing.json")
        with VModule() as vm:
            self.expect(self.serial_start(vm) + [
                ("efuseburn %s" % missing, "open %s fails\n-ERR: 3-\n" % missing),
                ("efuseburn %s" % too_large,
                 "efuseburn: %s holds 32773 bytes; one eFuse burn request carries at most 32772, "
                 "nothing was sent\n-ERR: 3-\n" % too_large),
                ("efuseburn", "Usage:\n\tefuseburn [json file]\n-ERR: 1-\n"),
            ])
            self.assertEqual(requests(vm, EFUSE_REQUEST), [])
            self.assertEqual(vm.read_efuse(), bytes(0x400))

    def test_module_refusal_and_state_rules(self):
        fits_frame = self.write("big.json", b"\x01" * 0x401)  # one request, but more than the eFuse holds
        small = self.write("small.json", b"\x01")
        with VModule() as vm:
            port = flint_port(vm)
            self.expect([
                ("efuseburn %s" % small, "please run 'connect' cmd first.\n-ERR: -1-\n"),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                # Without a loader the HCI table has no eFuse operation.
                ("efuseburn %s" % small,
                 "please run 'loadfw' cmd first.\nefuse_burn is not available on this link\n-ERR: -1-\n"),
                ("loadfw --autodetect %s 1" % self.fw, loaded()),
                ("efuseburn %s" % fits_frame, "file size: 1025\neFuse Burn Error: 4\n-ERR: 1-\n"),
            ])
            self.assertEqual(vm.read_efuse(), bytes(0x400))


class DebugPassword(ModuleCase):
    def test_sixteen_values_are_sent_and_fifteen_refused(self):
        values = ["%02X" % (0xA0 + i) for i in range(17)]
        with VModule() as vm:
            port = flint_port(vm)
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("dbgpasswd %s" % ":".join(values[:15]), "convert password error!\n-ERR: 2-\n"),
                ("dbgpasswd %s" % ":".join(values[:14] + ["zz", "A0"]), "convert password error!\n-ERR: 2-\n"),
                ("dbgpasswd", "Usage:\n\tdbgpasswd [password]\n-ERR: 1-\n"),
                ("dbgpasswd %s" % ":".join(values), "Send debug password successfully\n" + OK),
            ])
            noted = "debug password " + "".join(v.lower() for v in values[:16])
            self.assertTrue(wait_log(vm, noted))
            sent = requests(vm, PASSWORD_COMMAND)
            self.assertEqual(sent, ["01 60 fd 10 " + " ".join(v.lower() for v in values[:16])])

    def test_without_a_link_nothing_is_sent_and_the_result_says_so(self):
        password = ":".join("%02X" % i for i in range(16))
        rc, out = run_flint(["-i"], "dbgpasswd %s\n" % password, cwd=self.dir)
        self.assertEqual(out, harness.PROMPT + "Send debug password failed: 0 of 20 bytes written\n-ERR: 3-\n"
                         + harness.PROMPT + "Quit\n")


class Reboot(ModuleCase):
    def test_reboot_restarts_the_module_over_each_link(self):
        for link, start, env in self.each_link():
            with self.subTest(link=link), self.module(link) as vm:
                self.expect(start(vm) + [("reboot now", OK)], env=vm.usb_env if env else None)
                self.assertIn("reboot, mode 3", vm.log_text())
                self.assertTrue(wait_log(vm, "restart: ROM in HCI" if link == "serial"
                                         else "restart: loader runs (USB)"))

    def test_a_refused_reboot_still_returns_0(self):
        with VModule(["--fault", "1041:status=1"]) as vm:
            self.expect(self.serial_start(vm) + [("reboot", "Reboot Error: 1\n" + OK)])
            self.assertNotIn("restart", vm.log_text())

    def test_reboot_before_a_loader_resets_through_the_watchdog(self):
        with VModule() as vm:
            port = flint_port(vm)
            self.expect([
                ("reboot", "please run 'connect' cmd first.\n-ERR: -1-\n"),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("reboot", "please run 'loadfw' cmd first.\nWDG_Reset OK\n" + OK),
            ])
            self.assertTrue(wait_log(vm, "restart: ROM in HCI"))


class Gdma(ModuleCase):
    def test_no_table_has_the_operation(self):
        with VModule() as vm:
            self.expect([("gdmabeg", "please run 'connect' cmd first.\n-ERR: -1-\n")]
                        + self.serial_start(vm) + [
                ("gdmabeg", "gdma_begin is not available on this link\n-ERR: -1-\n"),
                ("gdmabeg 100", "Usage:\n\tgdmabeg [image size]\n-ERR: 1-\n"),
            ])


# ------------------------------------------------------------------ mode detection

NOT_A_FIELD = ("read_efuse: '%s' does not name the program mode field of a one-shot run; "
               "nothing was detected or stored\n")


class ReadEfuseAtTheShell(ModuleCase):
    def test_a_typed_value_is_refused_and_nothing_is_sent(self):
        with VModule() as vm:
            port = flint_port(vm)
            self.expect([
                ("read_efuse 1234", NOT_A_FIELD % "1234" + "-ERR: -1-\n"),
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("read_efuse 7FFD12345678", NOT_A_FIELD % "7FFD12345678" + "-ERR: -1-\n"),
                ("read_efuse 0", NOT_A_FIELD % "0" + "-ERR: -1-\n"),
                ("read_efuse", "Usage:\n\tread_efuse buffer_addr_for_storing_mode\n-ERR: 1-\n"),
                ("loadfw --autodetect 0", OK),
            ])
            self.assertEqual(requests(vm, "01 61 fc"), [])


@unittest.skipIf(harness.UNDER_WINE, "the mode field runner is a Linux test program")
class ReadEfuseThroughTheField(ModuleCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not MODE_RUNNER:
            raise unittest.SkipTest("FLINT_MODE_RUNNER is not set")

    def run_lines(self, vm, lines):
        """Runs the lines through the runner ("{field}" stands for the
        registered field's text); (output, field value afterwards)."""
        proc = subprocess.run([MODE_RUNNER] + [line.replace("PORT", vm.port) for line in lines],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60, cwd=self.dir)
        out = proc.stdout.decode(errors="replace")
        match = re.search(r"mode field: (\d+)\n\Z", out)
        self.assertIsNotNone(match, out)
        return out[:match.start()], int(match.group(1))

    def test_probe_status_0_is_mode_1(self):
        with VModule() as vm:
            out, mode = self.run_lines(vm, ["connect PORT", "read_efuse {field}", "read_efuse 0x{field}",
                                            "disconnect"])
            self.assertEqual(mode, 1)
            self.assertEqual(out, "CMD[0] connect %s\nConnecting %s at 115200 OK...\n-OK-\n"
                             "CMD[1] read_efuse {field}\n-OK-\nCMD[2] read_efuse 0x{field}\n-OK-\n"
                             "CMD[3] disconnect\n-OK-\n" % (vm.port, vm.port))
            self.assertEqual(len(requests(vm, "01 61 fc 05 00 50 01 04 00")), 2)

    def test_factory_image_is_mode_2_and_the_reboot_starts_it(self):
        factory = bytearray(pattern(64, 3))
        factory[4:6] = le16(0x278F)
        with VModule(iflash={0x804000: bytes(factory)}) as vm:
            out, mode = self.run_lines(vm, ["connect PORT", "read_efuse {field}", "reboot", "disconnect"])
            self.assertEqual(mode, 2)
            self.assertIn("CMD[1] read_efuse {field}\n-OK-\n"
                          "CMD[2] reboot\nplease run 'loadfw' cmd first.\nWDG_Reset OK\n-OK-\n", out)
            self.assertTrue(wait_log(vm, "restart: factory image runs"))

    def test_undetectable_modules_leave_the_field(self):
        cases = [(["--probe-status", "12"], "Factory Image ID error\n"),
                 (["--probe-status", "0x22"], "Cannot auto-detect device type, please use -M option manually\n")]
        for args, message in cases:
            with self.subTest(args=args), VModule(args) as vm:
                out, mode = self.run_lines(vm, ["connect PORT", "read_efuse {field}"])
                self.assertEqual(mode, 99)
                self.assertTrue(out.endswith("CMD[1] read_efuse {field}\n" + message + "-ERR: -1-\n"), out)

    def test_other_values_are_refused_even_with_a_field(self):
        with VModule() as vm:
            out, mode = self.run_lines(vm, ["connect PORT", "read_efuse 1234", "read_efuse {field}0"])
            self.assertEqual(mode, 99)
            self.assertIn("CMD[1] read_efuse 1234\n" + NOT_A_FIELD % "1234" + "-ERR: -1-\n", out)
            self.assertEqual(requests(vm, "01 61 fc"), [])


# ------------------------------------------------------------------ addmac

OTHER = entry(0x0101, b"\x01\x02", b"\xFF\x0F")
TAIL = entry(0x0202, b"\x05", b"\xFF")
OLD_MAC = entry(0x0033, b"\x99" * 6, FULL_MASK)
NEW_MAC = entry(0x0033, MAC_DATA, FULL_MASK)


def addmac_after(stored_entries, merged_entries):
    """The region copy after addmac: the stored bytes with the merged
    entries, their length and the block size."""
    copy = bytearray(region(0x400, stored_entries))
    copy[8:12] = le32(6 + len(merged_entries))
    copy[0x404:] = le16(len(merged_entries)) + merged_entries
    return bytes(copy)


def addmac_output(copy):
    return ("send read command!\nsend read command!\nAdd mac address: %s\n" % MAC + crc_line(copy)
            + "send erase command!\nsend write command!\n" + crc_line(copy) + OK)


class AddMac(ModuleCase):
    def run_addmac(self, link, start, env, stored, merged):
        behind = pattern(0x1000, 5)  # bytes behind the block: the erase clears them
        stored_region = region(0x400, stored)
        with self.module(link, iflash={ADDMAC_REGION: stored_region + behind[len(stored_region):]}) as vm:
            copy = addmac_after(stored, merged)
            self.expect(start(vm) + [("addmac %s 0x%X" % (MAC, ADDMAC_REGION), addmac_output(copy))],
                        env=vm.usb_env if env else None)
            self.assertEqual(vm.read_iflash(ADDMAC_REGION, 0x1000), written(copy, len(copy), 0x1000))

    def test_an_address_entry_takes_the_new_address_over_each_link(self):
        for link, start, env in self.each_link():
            with self.subTest(link=link):
                self.run_addmac(link, start, env, OTHER + OLD_MAC + TAIL, OTHER + NEW_MAC + TAIL)

    def test_without_an_address_entry_it_is_appended(self):
        half_mask = entry(0x0033, b"\x99" * 6, b"\xFF" * 5 + b"\x00")
        for link, start, env in self.each_link():
            with self.subTest(link=link):
                self.run_addmac(link, start, env, OTHER + half_mask, OTHER + half_mask + NEW_MAC)

    def test_hci_mode_reads_and_writes_with_vendor_commands(self):
        stored = OTHER + OLD_MAC
        with VModule(iflash={ADDMAC_REGION: region(0x400, stored)}) as vm:
            port = flint_port(vm)
            copy = addmac_after(stored, OTHER + NEW_MAC)
            self.expect([
                ("connect %s" % port, "Connecting %s at 115200 OK...\n-OK-\n" % port),
                ("loadfw --autodetect 0", OK),
                ("addmac %s 0x%X" % (MAC, ADDMAC_REGION), "Add mac address: %s\n" % MAC + crc_line(copy) + OK),
            ])
            self.assertEqual(vm.read_iflash(ADDMAC_REGION, 0x1000), written(copy, len(copy), 0x1000))

    def test_refusals_leave_the_flash_and_the_link_alone(self):
        too_long = bytearray(region(0x400, OTHER))
        too_long[0x404:0x406] = le16(1019)
        # Entries 14 bytes short of the capacity of 1018: the 15-byte entry does not fit.
        full = entry(0x0500, bytes(255), bytes(255)) + entry(0x0600, bytes(244), bytes(244))
        self.assertEqual(len(full), 1018 - 14)
        preload = {0x803000: bytes(too_long), 0x805000: region(0x400, OTHER + OLD_MAC[:-1]),
                   0x806000: region(0x400, b""), 0x807000: region(0x400, full)}
        read = "send read command!\n"
        with VModule(iflash=preload) as vm:
            before = vm.read_iflash(harness.IFLASH_BASE, harness.IFLASH_SIZE)
            self.expect(self.serial_start(vm) + [
                ("addmac %s 801000" % MAC, "address must start with 0x\n-ERR: -1-\n"),
                ("addmac 00:11:22:33:44 0x801000", "convert BT address error!\n-ERR: -1-\n"),
                ("addmac 00:11:22:33:44:55:66 0x801000", "convert BT address error!\n-ERR: -1-\n"),
                ("addmac %s" % MAC, "Usage\n\taddmac <mac> <addr>\n-ERR: 1-\n"),
                ("addmac %s 0x801000" % MAC, read + "do_addmac: oem-config region is empty\n-ERR: -1-\n"),
                ("addmac %s 0x803000" % MAC, read + "do_addmac: the stored entries length 1019 exceeds the "
                 "capacity of 1018 bytes, nothing was written\n-ERR: -1-\n"),
                ("addmac %s 0x805000" % MAC, read * 2 + "do_addmac: the stored entries do not add up to their "
                 "length 21, nothing was written\n-ERR: -1-\n"),
                ("addmac %s 0x806000" % MAC, read * 2 + "do_addmac: an entries length below 3 cannot be "
                 "merged, nothing was written\n-ERR: -1-\n"),
                ("addmac %s 0x807000" % MAC, read * 2 + "do_addmac: the merged entries would reach the "
                 "capacity of 1018 bytes, nothing was written\n-ERR: -1-\n"),
            ])
            self.assertEqual(vm.read_iflash(harness.IFLASH_BASE, harness.IFLASH_SIZE), before)
            self.assertEqual(requests(vm, ERASE_REQUEST), [])
            # The refused texts never reached the link: the reads are those of the last five lines.
            self.assertEqual(len(requests(vm, "87 33 10")), 1 + 1 + 2 + 2 + 2)

    def test_write_back_faults_end_in_their_message(self):
        stored = OTHER + OLD_MAC
        copy = addmac_after(stored, OTHER + NEW_MAC)
        head = "send read command!\nsend read command!\nAdd mac address: %s\n" % MAC + crc_line(copy)
        tail = "do_addmac: erase, program or verify error\n-ERR: -1-\n"
        cases = [
            ("1030:status=1", "send erase command!\nSector Erase Error: 1\ndo_config_merge: erase error\n"),
            ("1032:status=2", "send erase command!\nsend write command!\nProgram Error: 2\n"
                              "do_config_merge: program error\n"),
            ("1032:corrupt", "send erase command!\nsend write command!\n" + crc_line(copy)
                             + "Flash Verify Error: 5\ndo_config_merge: flash_verify error\n"),
        ]
        for fault, middle in cases:
            with self.subTest(fault=fault), VModule(["--fault", fault],
                                                    iflash={ADDMAC_REGION: region(0x400, stored)}) as vm:
                self.expect(self.serial_start(vm) + [("addmac %s 0x%X" % (MAC, ADDMAC_REGION),
                                                      head + middle + tail)])
                self.assertNotEqual(vm.read_iflash(ADDMAC_REGION, len(copy)), copy)


# ------------------------------------------------------------------ configmerge

A_OLD = entry(0x0101, b"\x01\x02", b"\xFF\xFF")
A_NEW = entry(0x0101, b"\x0A\x0B", b"\xFF\xFF")
A_OTHER_MASK = entry(0x0101, b"\x0C\x0D", b"\xF0\xFF")
B_OLD = entry(0x0044, b"\x99" * 6, FULL_MASK)
B_NEW = entry(0x0044, MAC_DATA, FULL_MASK)


def merge_after(stored_entries, merged_entries):
    """The region copy after a merge: the stored bytes with 16 bytes at
    0xEE0 and 0xFF0 set to 0xFF, the merged entries, their length and the
    block size."""
    copy = bytearray(region(0x1000, stored_entries))
    copy[0xEE0:0xEF0] = b"\xFF" * 16
    copy[0xFF0:0x1000] = b"\xFF" * 16
    copy[8:12] = le32(6 + len(merged_entries))
    copy[0x1004:] = le16(len(merged_entries)) + merged_entries
    return bytes(copy)


def merge_output(copy, reads=2, adding=False):
    return (("Adding BT address for oem config!\n" if adding else "") + "send read command!\n" * reads
            + crc_line(copy) + "send erase command!\nsend write command!\n" + crc_line(copy) + OK)


class ConfigMerge(ModuleCase):
    def test_merge_with_an_address_over_each_link(self):
        stored = A_OLD + B_OLD
        img = self.write("oem.bin", image(A_NEW + A_OTHER_MASK))
        copy = merge_after(stored, A_NEW + B_NEW + A_OTHER_MASK)
        for at in (0xEE0, 0xFF0):  # what the merge clears held other bytes
            self.assertNotEqual(region(0x1000, stored)[at:at + 16], b"\xFF" * 16)
        for link, start, env in self.each_link():
            with self.subTest(link=link), self.module(link, iflash={MERGE_REGION: region(0x1000, stored)}) as vm:
                self.expect(start(vm) + [("configmerge %s 0x%X %s" % (img, MERGE_REGION, MAC),
                                          merge_output(copy, adding=True))], env=vm.usb_env if env else None)
                self.assertEqual(vm.read_iflash(MERGE_REGION, 0x2000), written(copy, len(copy), 0x2000))

    def test_an_empty_region_takes_the_image_with_the_address_appended(self):
        entries = A_NEW + A_OTHER_MASK
        img_bytes = image(entries)
        img = self.write("oem.bin", img_bytes + b"\x00" * 7)  # bytes behind the block are not written
        with_mac = image(entries + B_NEW)
        plain = self.write("plain.bin", harness.header_image(img_bytes))
        with VModule() as vm:
            self.expect(self.serial_start(vm) + [
                ("configmerge %s 0x%X %s" % (img, MERGE_REGION, MAC),
                 merge_output(with_mac, reads=1, adding=True)),
                ("configmerge %s %X" % (plain, MERGE_REGION + 0xA000), merge_output(img_bytes, reads=1)),
            ])
            self.assertEqual(vm.read_iflash(MERGE_REGION, 0x2000), written(with_mac, len(with_mac), 0x2000))
            # Both lengths grew by the 15 bytes of the address entry.
            self.assertEqual(vm.read_iflash(MERGE_REGION + 8, 4), le32(6 + len(entries) + 15))
            self.assertEqual(vm.read_iflash(MERGE_REGION + 0x1004, 2), le16(len(entries) + 15))
            self.assertEqual(vm.read_iflash(MERGE_REGION + 0xA000, 0x2000),
                             written(img_bytes, len(img_bytes), 0x2000))

    def test_an_address_with_another_image_id_is_ignored(self):
        stored = A_OLD + B_OLD
        img = self.write("other.bin", image(A_NEW, ident=0x1234))
        copy = merge_after(stored, A_NEW + B_OLD)
        with VModule(iflash={MERGE_REGION: region(0x1000, stored)}) as vm:
            self.expect(self.serial_start(vm) + [
                ("configmerge %s 0x%X not-an-address" % (img, MERGE_REGION), merge_output(copy))])
            self.assertEqual(vm.read_iflash(MERGE_REGION, 0x2000), written(copy, len(copy), 0x2000))

    def test_failures_before_the_erase_leave_the_flash_untouched(self):
        stored_region = region(0x1000, A_OLD + B_OLD)
        too_long = bytearray(stored_region)
        too_long[0x1004:0x1006] = le16(4091)
        # Stored entries 5 bytes short of the capacity: a 7-byte entry does not fit.
        big = b"".join(entry(0x0700 + i, bytes(255), bytes(255)) for i in range(7))
        big += entry(0x0800, bytes(243), bytes(243)) + entry(0x0801, bytes(1), bytes(1))
        self.assertEqual(len(big), 4090 - 5)
        preload = {MERGE_REGION: stored_region, 0x806000: bytes(too_long), 0x808000: region(0x1000, big),
                   0x80A000: region(0x1000, A_OLD + B_OLD[:-2])}
        files = {
            "large.bin": image(A_NEW) + bytes(8192 - len(image(A_NEW)) + 1),
            "zero.bin": image(A_NEW + entry(0x0900, b"", b"") + A_NEW),
            "cut.bin": image(A_NEW, length=len(A_NEW) + 40),
            "oem.bin": image(A_NEW),
            "nosize.bin": image(A_NEW)[:8] + le32(0x100) + image(A_NEW)[12:],
        }
        for k in range(1, 5):  # entries length leaving 1 to 4 bytes unaccounted for
            files["left%d.bin" % k] = image(A_NEW + bytes([0x05, 0x00, 0x01, 0x11])[:k])
        paths = {name: self.write(name, data) for name, data in files.items()}
        length_error = "do_config_merge: config payload length error\n-ERR: -4-\n"
        read2 = "send read command!\n"
        with VModule(iflash=preload) as vm:
            before = vm.read_iflash(harness.IFLASH_BASE, harness.IFLASH_SIZE)
            steps = self.serial_start(vm) + [
                ("configmerge %s 0x%X" % (paths["left%d.bin" % k], MERGE_REGION), length_error) for k in range(1, 5)]
            steps += [
                ("configmerge %s 0x%X" % (paths["cut.bin"], MERGE_REGION),
                 "do_config_merge: config payload length error\n"
                 "do_config_merge: the image's configuration block (entries length %d at 0x1004) runs past the "
                 "end of its %d bytes\n-ERR: -4-\n" % (len(A_NEW) + 40, len(files["cut.bin"]))),
                ("configmerge %s 0x%X" % (self.path("missing.bin"), MERGE_REGION),
                 "do_config_merge: read image fail\n-ERR: -2-\n"),
                ("configmerge %s 0x%X" % (paths["large.bin"], MERGE_REGION),
                 "do_config_merge: read image fail\n"
                 "do_config_merge: %s holds 8193 bytes of image; at most 8192 fit the image buffer, nothing was "
                 "written\n-ERR: -2-\n" % paths["large.bin"]),
                ("configmerge %s 0x%X 00:11:22" % (paths["oem.bin"], MERGE_REGION),
                 "Adding BT address for oem config!\nconvert BT address error!\n"
                 "do_config_merge: append bt address fail\n-ERR: -3-\n"),
                ("configmerge %s 0x%X %s" % (paths["nosize.bin"], MERGE_REGION, MAC),
                 "Adding BT address for oem config!\ndo_config_merge: the image's block size at offset 8 does not "
                 "end its entries inside the image, or no room is left for the address\n"
                 "do_config_merge: append bt address fail\n-ERR: -3-\n"),
                ("configmerge %s 0x%X" % (paths["zero.bin"], MERGE_REGION), read2 * 2
                 + "do_config_merge: an entry of length 0 cannot be merged, nothing was written\n-ERR: -7-\n"),
                ("configmerge %s 0x806000" % paths["oem.bin"], read2 + "do_config_merge: the stored entries "
                 "length 4091 exceeds the capacity of 4090 bytes, nothing was written\n-ERR: -7-\n"),
                ("configmerge %s 0x808000" % paths["oem.bin"], read2 * 2 + "do_config_merge: the merged entries "
                 "would reach the capacity of 4090 bytes, nothing was written\n-ERR: -7-\n"),
                ("configmerge %s 0x80A000" % paths["oem.bin"], read2 * 2 + "do_config_merge: the stored entries "
                 "do not add up to their length %d, nothing was written\n-ERR: -7-\n" % (len(A_OLD) + 13)),
                ("configmerge %s" % paths["oem.bin"], "Usage\n\tconfigmerge <file> <addr> [<mac_addr>]\n-ERR: -2-\n"),
            ]
            self.expect(steps)
            self.assertEqual(vm.read_iflash(harness.IFLASH_BASE, harness.IFLASH_SIZE), before)
            self.assertEqual(requests(vm, ERASE_REQUEST), [])

    def test_write_back_faults_end_in_their_message_and_never_in_0(self):
        stored = A_OLD + B_OLD
        img = self.write("oem.bin", image(A_NEW))
        copy = merge_after(stored, A_NEW + B_OLD)
        head = "send read command!\nsend read command!\n" + crc_line(copy)
        tail = "do_config_merge: erase, program or verify error\n-ERR: -5-\n"
        old = region(0x1000, stored)
        # What the region holds afterwards: a refused erase leaves the old
        # block, a refused program an erased region, a corrupted write a wrong
        # one, and a refused verify the new block (still reported as failed).
        cases = [
            ("1030:status=1", "send erase command!\nSector Erase Error: 1\ndo_config_merge: erase error\n", old),
            ("1032:status=2", "send erase command!\nsend write command!\nProgram Error: 2\n"
                              "do_config_merge: program error\n", b"\xFF" * len(copy)),
            ("1032:corrupt", "send erase command!\nsend write command!\n" + crc_line(copy)
                             + "Flash Verify Error: 5\ndo_config_merge: flash_verify error\n", None),
            ("1050:status=5", "send erase command!\nsend write command!\n" + crc_line(copy)
                              + "Flash Verify Error: 5\ndo_config_merge: flash_verify error\n", copy),
        ]
        for fault, middle, holds in cases:
            with self.subTest(fault=fault), VModule(["--fault", fault], iflash={MERGE_REGION: old}) as vm:
                self.expect(self.serial_start(vm) + [("configmerge %s 0x%X" % (img, MERGE_REGION),
                                                      head + middle + tail)])
                after = vm.read_iflash(MERGE_REGION, len(copy))
                if holds is None:
                    self.assertNotEqual(after, copy)
                    self.assertEqual(sum(a != b for a, b in zip(after, copy)), 1)
                else:
                    self.assertEqual(after, holds)

if __name__ == "__main__":
    unittest.main()
