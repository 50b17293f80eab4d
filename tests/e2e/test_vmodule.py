"""The virtual module seen from the host: raw bytes over its pseudo-terminal
and its USB socket, answers checked byte for byte, memory checked in its files."""
import fcntl
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vmodule_harness as h  # noqa: E402
from vmodule_harness import (VModule, addr_size, crc16, flash_control, hci_command,  # noqa: E402
                             hci_event, loader_answer, loader_frame, program_frame, verify_frame)

IFLASH = 0x800000
FACTORY_AT = 0x4000  # offset of 0x804000 in the internal flash file
BOOT_S = 0.25  # comfortably more than the module's restart time
TIOCEXCL, TIOCGEXCL = 0x540C, 0x80045440
CHUNK_OK = lambda idx: bytes([0x04, 0x0E, 0x05, 0x02, 0x20, 0xFC, 0x00, idx])  # noqa: E731


def vendor_write(addr, value):
    return hci_command(0xFC62, bytes([0x20]) + struct.pack("<II", addr, value))


def hci_read(addr, length):
    return hci_command(0xFC2D, struct.pack("<II", addr, length))


def hci_program(addr, data):
    return hci_command(0xFC2E, struct.pack("<II", addr, len(data)) + data)


def read_answer(addr, data):
    return hci_event(0xFC2D, 0, struct.pack("<I", addr) + data)


def chunk(idx, data):
    return hci_command(0xFC20, bytes([idx]) + data)


OK_EVENT = {op: hci_event(op, 0) for op in (0xFC2C, 0xFC2B, 0xFC2E, 0xFC62)}


class ModuleCase(unittest.TestCase):
    args = ()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=h.E2E_TMP if os.path.isdir(h.E2E_TMP) else None)
        self.iflash = os.path.join(self.tmp, "iflash.bin")
        self.eflash = os.path.join(self.tmp, "eflash.bin")
        self.efuse = os.path.join(self.tmp, "efuse.bin")
        self.prepare()
        self.m = VModule("--iflash", self.iflash, "--eflash", self.eflash, "--efuse", self.efuse,
                         *self.args, tmp=self.tmp)
        self.m.open()

    def prepare(self):
        """Files to put in place before the module starts."""

    def tearDown(self):
        self.m.stop()

    def flash(self, offset, n, path=None):
        with open(path or self.iflash, "rb") as f:
            f.seek(offset)
            return f.read(n)

    def exchange(self, request, expected, msg=None):
        got = self.m.ask(request, len(expected))
        self.assertEqual(got.hex(" "), expected.hex(" "), msg)

    def unlock(self):
        for sub in (0x300B, 0x3001, 0x1002):
            self.exchange(flash_control(sub), OK_EVENT[0xFC2C])

    def download(self, size=504):
        image = bytes((i * 7) & 0xFF for i in range(size))
        for idx in range((size + 251) // 252):
            self.exchange(chunk(idx, image[idx * 252:(idx + 1) * 252]), CHUNK_OK(idx))
        return image

    def start_loader(self):
        self.download()
        self.exchange(vendor_write(0x1000228C, 0x10080C01), OK_EVENT[0xFC62])

    def assert_silent(self, quiet=0.3):
        self.assertEqual(self.m.read_quiet(quiet), b"")

    def assert_hci_alive(self):
        self.exchange(hci_read(0x19000, 4), read_answer(0x19000, struct.pack("<I", 0x215DF640)))

    def assert_loader_alive(self):
        self.exchange(loader_frame(0x103D), loader_answer(0x103D, 0, bytes([0x20, 0x40, 0x16, 0])))


class CrcTest(unittest.TestCase):
    def test_check_value(self):
        self.assertEqual(crc16(b"123456789"), 0xBB3D)
        self.assertEqual(crc16(b""), 0)


class HciTest(ModuleCase):
    def test_reads_of_the_address_space(self):
        with open(self.iflash, "r+b") as f:
            f.write(bytes(range(16)))
        cases = [
            ("signature word", 0x19000, 4, struct.pack("<I", 0x215DF640)),
            ("flash start", IFLASH, 8, bytes(range(8))),
            ("erased flash", IFLASH + 0x1000, 4, b"\xff" * 4),
            ("outside flash", 0x20000000, 8, bytes(8)),
            ("longest read", IFLASH + 0x100, 244, b"\xff" * 244),
            ("empty read", IFLASH, 0, b""),
        ]
        for name, addr, n, data in cases:
            with self.subTest(name):
                self.exchange(hci_read(addr, n), read_answer(addr, data))

    def test_refused_commands(self):
        cases = [
            ("read over 244 bytes", hci_read(IFLASH, 248), hci_event(0xFC2D, 0x12)),
            ("unaligned read address", hci_read(IFLASH + 2, 4), hci_event(0xFC2D, 0x12)),
            ("unaligned read length", hci_read(IFLASH, 6), hci_event(0xFC2D, 0x12)),
            ("program before unlock", hci_program(IFLASH, b"\0" * 4), hci_event(0xFC2E, 0x0C)),
            ("page erase before unlock", hci_command(0xFC2B, struct.pack("<I", IFLASH)), hci_event(0xFC2B, 0x0C)),
            ("unlock before init", flash_control(0x1002), hci_event(0xFC2C, 0x0C)),
            ("chip erase without its magic", flash_control(0, 1, 2), hci_event(0xFC2C, 0x12)),
            ("unknown opcode", hci_command(0xFC99, b"\1"), hci_event(0xFC99, 0x01)),
            ("probe with wrong parameters", hci_command(0xFC61, b"\0" * 5), hci_event(0xFC61, 0x12)),
        ]
        for name, request, answer in cases:
            with self.subTest(name):
                self.exchange(request, answer)

    def test_refused_writes_after_unlock(self):
        self.unlock()
        cases = [
            ("program over 244 bytes", hci_command(0xFC2E, struct.pack("<II", IFLASH, 247) + bytes(247))),
            ("length field not the packet's", hci_command(0xFC2E, struct.pack("<II", IFLASH, 8) + bytes(4))),
            ("unaligned program", hci_program(IFLASH + 1, b"\0" * 4)),
            ("program past the flash end", hci_program(IFLASH + 0x100000 - 4, b"\0" * 8)),
            ("program below the flash", hci_program(IFLASH - 4, b"\0" * 4)),
        ]
        for name, request in cases:
            with self.subTest(name):
                self.exchange(request, hci_event(0xFC2E, 0x12))
        self.exchange(hci_command(0xFC2B, struct.pack("<I", IFLASH + 0x100000)), hci_event(0xFC2B, 0x12))
        self.assertEqual(self.flash(0, 16), b"\xff" * 16)

    def test_flash_id_is_32_bits(self):
        self.exchange(flash_control(6), hci_event(0xFC2C, 0, struct.pack("<I", 0x164020)))

    def test_program_is_nor(self):
        self.unlock()
        self.exchange(hci_program(IFLASH + 0x800, bytes([0xF0, 0x0F, 0x55, 0xAA])), OK_EVENT[0xFC2E])
        self.exchange(hci_program(IFLASH + 0x800, bytes([0x3C, 0x3C, 0xFF, 0x00])), OK_EVENT[0xFC2E])
        self.assertEqual(self.flash(0x800, 4), bytes([0x30, 0x0C, 0x55, 0x00]))
        self.exchange(hci_read(IFLASH + 0x800, 4), read_answer(IFLASH + 0x800, bytes([0x30, 0x0C, 0x55, 0x00])))

    def test_page_erase_clears_the_page_holding_the_address(self):
        self.unlock()
        with open(self.iflash, "r+b") as f:
            f.write(bytes(0x2000))
        # An unaligned address erases the page that contains it, nothing else.
        self.exchange(hci_command(0xFC2B, struct.pack("<I", IFLASH + 0x0900)), OK_EVENT[0xFC2B])
        self.assertEqual(self.flash(0x7FF, 1), b"\0")
        self.assertEqual(self.flash(0x800, 0x800), b"\xff" * 0x800)
        self.assertEqual(self.flash(0x1000, 1), b"\0")

    def test_chip_erase(self):
        self.unlock()
        with open(self.iflash, "r+b") as f:
            f.write(bytes(0x100))
            f.seek(0xFFF00)
            f.write(bytes(0x100))
        self.exchange(flash_control(0, 0x12345678, 0x5A5A1234), OK_EVENT[0xFC2C])
        self.assertEqual(self.flash(0, 0x100000), b"\xff" * 0x100000)

    def test_probe_without_factory_image(self):
        self.exchange(hci_command(0xFC61, bytes([0x00, 0x50, 0x01, 0x04, 0x00])), hci_event(0xFC61, 0))

    def test_silent_commands(self):
        for name, request in [("debug password", hci_command(0xFD60, bytes(range(16)))),
                              ("unknown rate code", hci_command(0xFC17, struct.pack("<I", 0x1234)))]:
            with self.subTest(name):
                self.m.send(request)
                self.assert_silent()
                self.assert_hci_alive()
        self.assertIn("debug password 000102030405060708090a0b0c0d0e0f", self.m.log())

    def test_packet_in_pieces_and_junk(self):
        request = hci_read(0x19000, 4)
        self.m.send(b"\x55\xaa" + request[:3])
        time.sleep(0.03)
        self.m.send(request[3:])
        self.assertEqual(self.m.read(15), read_answer(0x19000, struct.pack("<I", 0x215DF640)))

    def test_incomplete_packet_is_dropped_after_a_pause(self):
        self.m.send(hci_read(0x19000, 4)[:6])
        self.assert_silent(0.4)
        self.assert_hci_alive()
        self.assertIn("incomplete HCI packet discarded", self.m.log())


class FactoryImageTest(ModuleCase):
    def prepare(self):
        with open(self.iflash, "wb") as f:
            f.write(b"\xff" * FACTORY_AT + bytes([1, 2, 3, 4, 0x8F, 0x27]) + bytes(6))

    def test_probe_reports_it(self):
        self.exchange(hci_command(0xFC61, bytes([0x00, 0x50, 0x01, 0x04, 0x00])), hci_event(0xFC61, 0x0C))
        self.exchange(hci_read(0x804000, 12),
                      read_answer(0x804000, bytes([1, 2, 3, 4, 0x8F, 0x27]) + bytes(6)))

    def test_watchdog_reset_starts_it(self):
        self.m.send(flash_control(0x3009, 3, 0x5A5A1234))
        self.assert_silent()
        self.assert_loader_alive()

    def test_reboot_returns_to_it(self):
        self.m.send(flash_control(0x3009, 3, 0x5A5A1234))
        time.sleep(BOOT_S)
        self.exchange(loader_frame(0x1041, b"\x03"), loader_answer(0x1041, 0))
        time.sleep(BOOT_S)
        self.assert_loader_alive()

    def test_preloaded_file_is_kept(self):
        self.assertEqual(os.path.getsize(self.iflash), 0x100000)
        self.assertEqual(self.flash(FACTORY_AT + 4, 2), bytes([0x8F, 0x27]))
        self.assertEqual(self.flash(FACTORY_AT + 12, 16), b"\xff" * 16)


class LoaderDownloadTest(ModuleCase):
    def setUp(self):
        self.args = ("--loader-file", os.path.join(tempfile.mkdtemp(dir=h.E2E_TMP if os.path.isdir(h.E2E_TMP) else None),
                                                   "loader.bin"))
        super().setUp()

    def test_chunks_then_vendor_write_trigger(self):
        image = self.download(505)
        self.exchange(vendor_write(0x1000228C, 0x10080C01), OK_EVENT[0xFC62])
        self.assert_loader_alive()
        self.assertIn("loader started (505 bytes, crc16 0x%04X)" % crc16(image), self.m.log())
        with open(self.args[1], "rb") as f:
            self.assertEqual(f.read(), image)

    def test_a_new_download_restarts_at_chunk_zero(self):
        self.download(600)
        image = self.download(8)
        self.exchange(vendor_write(0x1000228C, 0x10080C01), OK_EVENT[0xFC62])
        with open(self.args[1], "rb") as f:
            self.assertEqual(f.read(), image)

    def test_first_chip_triggers_on_its_last_write(self):
        self.download()
        for addr, value in [(0x20000330, 0x20083801), (0xE000E100, 0x10)]:
            self.exchange(vendor_write(addr, value), OK_EVENT[0xFC62])
            self.assert_hci_alive()
        self.exchange(vendor_write(0xE000E200, 0x10), OK_EVENT[0xFC62])
        self.assert_loader_alive()

    def test_raw_trigger_swallows_its_trailer(self):
        self.download()
        self.m.send(bytes([0x01, 0x20, 0xFC, 0x01, 0x80, 0xAA]))
        self.assert_silent()
        self.assert_loader_alive()
        self.assertIn("trailer aa taken", self.m.log())

    def test_triggers_without_a_complete_download_do_nothing(self):
        cases = [
            ("no download", lambda: None),
            ("chunk out of order", lambda: self.exchange(chunk(1, b"\0" * 4),
                                                         bytes([4, 0x0E, 5, 2, 0x20, 0xFC, 0x12, 1]))),
        ]
        for name, before in cases:
            with self.subTest(name):
                before()
                self.exchange(vendor_write(0x1000228C, 0x10080C01), OK_EVENT[0xFC62])
                self.assert_hci_alive()
                self.m.send(bytes([0x01, 0x20, 0xFC, 0x01, 0x80, 0xAA]))
                self.assert_silent()
                self.assert_hci_alive()

    def test_out_of_order_chunk_breaks_the_download(self):
        self.exchange(chunk(0, b"\1" * 252), CHUNK_OK(0))
        self.exchange(chunk(2, b"\1" * 252), bytes([4, 0x0E, 5, 2, 0x20, 0xFC, 0x12, 2]))
        self.exchange(chunk(1, b"\1" * 252), bytes([4, 0x0E, 5, 2, 0x20, 0xFC, 0x12, 1]))
        self.exchange(vendor_write(0x1000228C, 0x10080C01), OK_EVENT[0xFC62])
        self.assert_hci_alive()

    def test_trigger_with_a_wrong_value_does_nothing(self):
        self.download()
        self.exchange(vendor_write(0x1000228C, 0x12345678), OK_EVENT[0xFC62])
        self.assert_hci_alive()

    def test_watchdog_reset_loses_the_loader(self):
        self.download()
        self.m.send(flash_control(0x3009, 3, 0x5A5A1234))
        self.assert_silent()
        self.exchange(vendor_write(0x1000228C, 0x10080C01), OK_EVENT[0xFC62])
        self.assert_hci_alive()


class LoaderTest(ModuleCase):
    def setUp(self):
        super().setUp()
        self.start_loader()

    def test_property_record(self):
        record = struct.pack("<7I", 0x20000000, 0x8000, IFLASH, 0x100000, 0, 0x400000, 0x4420)
        record += b"KVL4420B_V3".ljust(16, b"\0")
        self.exchange(loader_frame(0x1000), loader_answer(0x1000, 0, record))

    def test_flash_ids(self):
        self.exchange(loader_frame(0x103D), loader_answer(0x103D, 0, bytes([0x20, 0x40, 0x16, 0])))
        self.exchange(loader_frame(0x103C), loader_answer(0x103C, 0, bytes([0xEF, 0x40, 0x16, 0])))

    def test_program_read_verify_internal_and_external(self):
        data = bytes((i * 13 + 5) & 0xFF for i in range(3000))
        for name, prog, read, verify, base, path in [
                ("internal", 0x1032, 0x1033, 0x1050, IFLASH, self.iflash),
                ("external", 0x103A, 0x103B, 0x1051, 0, self.eflash)]:
            with self.subTest(name):
                addr = base + 0x2001
                self.exchange(program_frame(prog, addr, data), loader_answer(prog, 0))
                self.assertEqual(self.flash(0x2001, len(data), path), data)
                self.assertEqual(self.flash(0x2000, 1, path), b"\xff")
                self.exchange(addr_size(read, addr, len(data)), loader_answer(read, 0, data))
                self.exchange(verify_frame(verify, addr, len(data), crc16(data)), loader_answer(verify, 0))
                self.exchange(verify_frame(verify, addr, len(data), crc16(data) ^ 1), loader_answer(verify, 5))
                self.exchange(verify_frame(verify, addr, 0, 0), loader_answer(verify, 0))
                # Programming over programmed cells only clears bits.
                self.exchange(program_frame(prog, addr, b"\x0f\xf0"), loader_answer(prog, 0))
                self.assertEqual(self.flash(0x2001, 2, path), bytes([data[0] & 0x0F, data[1] & 0xF0]))

    def test_erases_cover_whole_units(self):
        cases = [  # code, address, size, first erased offset, end of erased range, flash file
            (0x1030, IFLASH + 0x1234, 0x10, 0x1000, 0x2000, "i"),
            (0x1030, IFLASH + 0x0FFF, 2, 0x0000, 0x2000, "i"),
            (0x1035, IFLASH + 0x12345, 0x10000, 0x10000, 0x30000, "i"),
            (0x1038, 0x1234, 0x1000, 0x1000, 0x3000, "e"),
            (0x1036, 0x9000, 0x10, 0x8000, 0x10000, "e"),
            (0x1037, 0x1FFFF, 1, 0x10000, 0x20000, "e"),
        ]
        for code, addr, size, lo, hi, which in cases:
            path = self.iflash if which == "i" else self.eflash
            with self.subTest(code=hex(code), addr=hex(addr)):
                with open(path, "r+b") as f:
                    f.write(bytes(0x40000))
                self.exchange(addr_size(code, addr, size), loader_answer(code, 0))
                image = self.flash(0, 0x40000, path)
                self.assertEqual(image[lo:hi], b"\xff" * (hi - lo))
                self.assertEqual(image[:lo], bytes(lo))
                self.assertEqual(image[hi:], bytes(0x40000 - hi))

    def test_chip_erases(self):
        for code, path, size in [(0x1031, self.iflash, 0x100000), (0x1039, self.eflash, 0x400000)]:
            with self.subTest(hex(code)):
                with open(path, "r+b") as f:
                    f.write(bytes(0x1000))
                    f.seek(size - 0x1000)
                    f.write(bytes(0x1000))
                self.exchange(loader_frame(code), loader_answer(code, 0))
                self.assertEqual(self.flash(0, size, path), b"\xff" * size)

    def test_out_of_range_requests(self):
        cases = [
            addr_size(0x1030, IFLASH + 0xFF000, 0x2000),
            addr_size(0x1030, 0x7FF000, 0x1000),
            program_frame(0x1032, IFLASH + 0xFFFFF, b"\0\0"),
            program_frame(0x103A, 0x3FFFFF, b"\0\0"),
            verify_frame(0x1050, 0, 4, 0),
            addr_size(0x1037, 0x400000, 1),
        ]
        for request in cases:
            with self.subTest(request.hex()):
                code = request[1] | request[2] << 8
                self.exchange(request, loader_answer(code, 4))
        # A read out of range still answers with the length the host waits for.
        self.exchange(addr_size(0x1033, 0x100, 8), loader_answer(0x1033, 4, bytes(8)))

    def test_bad_frames(self):
        good = addr_size(0x1033, IFLASH, 4)
        bad_crc = good[:-1] + bytes([good[-1] ^ 1])
        self.exchange(bad_crc, loader_answer(0x1033, 1))
        self.exchange(b"\x87\x99\x10" + b"\0" * 8, loader_answer(0x1099, 2))
        self.exchange(loader_frame(0x1010, struct.pack("<IB", 1000000, 0x00)), loader_answer(0x1010, 6))
        self.exchange(loader_frame(0x1032, struct.pack("<II", IFLASH, 0x20000)), loader_answer(0x1032, 3))
        self.assert_loader_alive()

    def test_frame_in_pieces(self):
        request = program_frame(0x1032, IFLASH, b"\x11\x22\x33")
        for i in range(len(request)):
            self.m.send(request[i:i + 1])
            time.sleep(0.005)
        self.assertEqual(self.m.read(10), loader_answer(0x1032, 0))
        self.assertEqual(self.flash(0, 3), b"\x11\x22\x33")

    def test_short_frame_is_refused_after_a_pause(self):
        request = program_frame(0x1032, IFLASH, b"\x11\x22\x33\x44")
        self.exchange(request[:-3], loader_answer(0x1032, 3))
        self.assertEqual(self.flash(0, 4), b"\xff" * 4)
        self.assert_loader_alive()

    def test_junk_before_a_frame_is_skipped(self):
        self.m.send(b"\x00\x55\xaa")
        self.assert_loader_alive()

    def test_efuse_burn_sets_bits(self):
        self.exchange(loader_frame(0x1061, struct.pack("<I", 4) + b"\x01\x02\x04\x80"), loader_answer(0x1061, 0))
        self.exchange(loader_frame(0x1061, struct.pack("<I", 2) + b"\x10\x20"), loader_answer(0x1061, 0))
        self.assertEqual(self.flash(0, 6, self.efuse), bytes([0x11, 0x22, 0x04, 0x80, 0, 0]))
        self.exchange(loader_frame(0x1061, struct.pack("<I", 0x401) + bytes(0x401)), loader_answer(0x1061, 4))

    def test_reboot_goes_back_to_hci(self):
        self.exchange(loader_frame(0x1041, b"\x03"), loader_answer(0x1041, 0))
        # Right after the reset the module is still starting: what it is sent then is lost.
        self.m.send(hci_read(0x19000, 4))
        self.assert_silent()
        self.assertIn("the module is restarting", self.m.log())
        self.assert_hci_alive()


class RateTest(ModuleCase):
    def test_hci_rate_codes(self):
        for rate, code in [(1000000, 0x5004), (2000000, 0x5002), (3000000, 0x04928001)]:
            with self.subTest(rate):
                self.m.send(hci_command(0xFC17, struct.pack("<I", code)))
                time.sleep(0.05)
                # The host still at the old rate is not understood...
                self.m.send(hci_read(0x19000, 4))
                self.assert_silent()
                self.assertIn("bytes lost as garbage", self.m.log())
                self.m.set_rate(rate)
                self.assert_hci_alive()
                # ...a watchdog reset brings the module back to 115200.
                self.m.send(flash_control(0x3009, 3, 0x5A5A1234))
                time.sleep(BOOT_S)
                self.m.set_rate(115200)
                self.assert_hci_alive()

    def test_loader_rate_change_answers_at_the_old_rate(self):
        self.start_loader()
        self.exchange(loader_frame(0x1010, struct.pack("<IB", 921600, 0xFF)), loader_answer(0x1010, 0))
        self.m.send(loader_frame(0x103D))
        self.assert_silent()
        self.m.set_rate(921600)
        self.assert_loader_alive()
        self.exchange(loader_frame(0x1041, b"\x03"), loader_answer(0x1041, 0))
        self.m.set_rate(115200)
        time.sleep(BOOT_S)
        self.assert_hci_alive()

    def test_answer_to_a_host_at_the_wrong_rate_is_garbage(self):
        m = VModule("--boot", "loader", "--flash-times", "--time-scale", "0.5", tmp=self.tmp)
        try:
            m.open()
            m.send(loader_frame(0x1031))  # 1 s of erase before the answer
            time.sleep(0.2)
            m.set_rate(921600)
            self.assertEqual(m.read(10, timeout=5), bytes(10))
            self.assertIn("the answer arrives as garbage", m.log())
        finally:
            m.stop()

    def test_line_survives_host_close_and_reopen(self):
        for i in range(3):
            fcntl.ioctl(self.m.fd, TIOCEXCL)  # as the host's serial layer does
            self.m.close_line()
            self.assertTrue(self.m.wait_log("host closed the line", i + 1))
            self.m.open()
            # Exclusive mode does not outlive the host that set it.
            self.assertEqual(struct.unpack("i", fcntl.ioctl(self.m.fd, TIOCGEXCL, b"\0" * 4))[0], 0)
            self.assert_hci_alive()
        self.assertEqual(self.m.log().count("host closed the line"), 3)

    def test_state_survives_a_close_unless_reset_on_close(self):
        for args, alive_after in [((), "assert_loader_alive"), (("--reset-on-close",), "assert_hci_alive")]:
            with self.subTest(args):
                m = VModule(*args, tmp=self.tmp)
                try:
                    m.open()
                    self.m, saved = m, self.m
                    self.start_loader()
                    m.close_line()
                    self.assertTrue(m.wait_log("host closed the line"))
                    time.sleep(BOOT_S)
                    m.open()
                    getattr(self, alive_after)()
                finally:
                    self.m = saved
                    m.stop()


class FaultCase(ModuleCase):
    def test_fault_kinds_on_the_loader(self):
        read = addr_size(0x1033, IFLASH, 4)
        good = loader_answer(0x1033, 0, b"\xff" * 4)
        cases = [
            ("1033:badcrc", good[:-1] + bytes([good[-1] ^ 0xFF])),
            ("1033:status=9", loader_answer(0x1033, 9, bytes(4))),
            ("1033:short=6", good[:6]),
            ("1033:garbage=3", bytes([0x55, 0xAA, 0x3C]) + good),
            ("1033:silence", b""),
        ]
        for rule, expected in cases:
            with self.subTest(rule):
                m = VModule("--boot", "loader", "--fault", rule, tmp=self.tmp)
                try:
                    m.open()
                    m.send(read)
                    self.assertEqual(m.read_quiet(0.3).hex(" "), expected.hex(" "))
                    self.assertEqual(m.ask(read, len(good)), good)  # count 1: the next one is clean
                finally:
                    m.stop()

    def test_fault_kinds_on_hci(self):
        read = hci_read(0x19000, 4)
        good = read_answer(0x19000, struct.pack("<I", 0x215DF640))
        first_chunk = chunk(0, b"\1" * 8)
        cases = [
            ("fc2d:badcrc", read, good[:-1] + bytes([good[-1] ^ 0xFF]), good),
            ("fc2d:status=3", read, hci_event(0xFC2D, 3), good),
            ("fc2d:short=2", read, good[:2], good),
            ("fc2d:garbage=1", read, b"\x55" + good, good),
            ("any:silence", read, b"", good),
            ("fc20:status=5", first_chunk, bytes([4, 0x0E, 5, 2, 0x20, 0xFC, 5, 0]), CHUNK_OK(0)),
            ("fc20:garbage=2", first_chunk, b"\x55\xaa" + CHUNK_OK(0), CHUNK_OK(0)),
        ]
        for rule, request, expected, clean in cases:
            with self.subTest(rule):
                m = VModule("--fault", rule, tmp=self.tmp)
                try:
                    m.open()
                    m.send(request)
                    self.assertEqual(m.read_quiet(0.3).hex(" "), expected.hex(" "))
                    self.assertEqual(m.ask(request, len(clean)), clean)
                finally:
                    m.stop()

    def test_count_and_skip(self):
        m = VModule("--boot", "loader", "--fault", "103d:status=7:2:1", tmp=self.tmp)
        try:
            m.open()
            statuses = []
            for _ in range(5):
                statuses.append(m.ask(loader_frame(0x103D), 14)[3])
            self.assertEqual(statuses, [0, 7, 7, 0, 0])
        finally:
            m.stop()

    def test_corrupt_and_refused_writes(self):
        path = os.path.join(self.tmp, "faulty.bin")
        m = VModule("--boot", "loader", "--iflash", path, "--fault", "1032:corrupt",
                    "--fault", "1032:status=5:1:1", tmp=self.tmp)
        try:
            m.open()
            data = bytes(range(16))
            self.assertEqual(m.ask(program_frame(0x1032, IFLASH, data), 10), loader_answer(0x1032, 0))
            self.assertEqual(m.ask(verify_frame(0x1050, IFLASH, 16, crc16(data)), 10), loader_answer(0x1050, 5))
            self.assertEqual(m.ask(program_frame(0x1032, IFLASH + 16, data), 10), loader_answer(0x1032, 5))
            self.assertEqual(m.ask(program_frame(0x1032, IFLASH + 32, data), 10), loader_answer(0x1032, 0))
        finally:
            m.stop()
        with open(path, "rb") as f:
            image = f.read(48)
        wrong = bytearray(data)
        wrong[8] ^= 1
        self.assertEqual(image, bytes(wrong) + b"\xff" * 16 + data)

    def test_corrupt_hci_program(self):
        path = os.path.join(self.tmp, "faulty.bin")
        m = VModule("--iflash", path, "--fault", "fc2e:corrupt", tmp=self.tmp)
        try:
            m.open()
            self.m, saved = m, self.m
            try:
                self.unlock()
                self.exchange(hci_program(IFLASH, bytes(8)), OK_EVENT[0xFC2E])
                self.exchange(hci_program(IFLASH + 8, bytes(8)), OK_EVENT[0xFC2E])
            finally:
                self.m = saved
        finally:
            m.stop()
        with open(path, "rb") as f:
            self.assertEqual(f.read(16), bytes(4) + b"\x01" + bytes(11))

    def test_refused_rate_change_keeps_the_rate(self):
        m = VModule("--fault", "fc17:status=1", tmp=self.tmp)
        try:
            m.open()
            m.send(hci_command(0xFC17, struct.pack("<I", 0x5004)))
            self.assertEqual(m.read_quiet(0.2), b"")
            self.assertEqual(m.ask(hci_read(0x19000, 4), 15)[:7], hci_event(0xFC2D, 0)[:2] + bytes([12, 1, 0x2D, 0xFC, 0]))
        finally:
            m.stop()

    def test_bad_rules_are_refused(self):
        for rule in ["1032", "zz:badcrc", "1032:status=0", "1032:short", "1032:melt", "1032:badcrc:x"]:
            with self.subTest(rule):
                p = subprocess.run([h.VMODULE, "--fault", rule], capture_output=True, timeout=10)
                self.assertEqual(p.returncode, 2)
                self.assertIn(b"bad fault", p.stderr)


class UsbTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=h.E2E_TMP if os.path.isdir(h.E2E_TMP) else None)
        self.sock = os.path.join(self.tmp, "usb.sock")
        self.iflash = os.path.join(self.tmp, "iflash.bin")
        self.m = VModule("--usb-socket", self.sock, "--iflash", self.iflash, "--fault", "1033:badcrc:1:2",
                         tmp=self.tmp)

    def tearDown(self):
        self.m.stop()

    def test_sessions(self):
        data = bytes(range(200))
        s = self.m.usb(self.sock)
        s.send(program_frame(0x1032, IFLASH + 0x100, data))
        self.assertEqual(s.recv(65536), loader_answer(0x1032, 0))
        s.send(addr_size(0x1033, IFLASH + 0x100, 200))
        self.assertEqual(s.recv(65536), loader_answer(0x1033, 0, data))
        s.close()
        for _ in range(2):  # sequential sessions, one request and one answer each
            s = self.m.usb(self.sock)
            s.send(addr_size(0x1033, IFLASH + 0x100, 200))
            answer = s.recv(65536)
            s.close()
        good = loader_answer(0x1033, 0, data)
        self.assertEqual(answer, good[:-1] + bytes([good[-1] ^ 0xFF]))
        with open(self.iflash, "rb") as f:
            f.seek(0x100)
            self.assertEqual(f.read(200), data)

    def test_reboot_restarts_into_the_loader(self):
        s = self.m.usb(self.sock)
        s.send(loader_frame(0x1041, b"\x03"))
        self.assertEqual(s.recv(65536), loader_answer(0x1041, 0))
        s.send(addr_size(0x1033, IFLASH, 4))
        self.assertEqual(s.recv(65536), loader_answer(0x1033, 0, b"\xFF" * 4))
        s.close()
        self.assertTrue(self.m.wait_log("reboot, mode 3"))
        self.assertIn("restart: loader runs (USB)", self.m.log())

    def test_message_length_must_match_the_frame(self):
        s = self.m.usb(self.sock)
        frame = program_frame(0x1032, IFLASH, b"\1\2\3\4")
        s.send(frame + b"\0")
        self.assertEqual(s.recv(65536), loader_answer(0x1032, 3))
        s.send(frame[:-2])
        self.assertEqual(s.recv(65536), loader_answer(0x1032, 3))
        s.close()


class TimingTest(unittest.TestCase):
    def test_pace_and_flash_times(self):
        tmp = tempfile.mkdtemp(dir=h.E2E_TMP if os.path.isdir(h.E2E_TMP) else None)
        m = VModule("--boot", "loader", "--pace", "--flash-times", "--time-scale", "0.25", tmp=tmp)
        try:
            m.open()
            t0 = time.monotonic()
            answer = m.ask(addr_size(0x1033, IFLASH, 4096), 4106, timeout=20)
            paced = time.monotonic() - t0
            self.assertEqual(len(answer), 4106)
            self.assertGreater(paced, 4106 * 10 / 115200 * 0.9)  # 0.36 s on the wire
            t0 = time.monotonic()
            request = program_frame(0x1032, IFLASH, bytes(4096))
            self.assertEqual(m.ask(request, 10, timeout=20), loader_answer(0x1032, 0))
            self.assertGreater(time.monotonic() - t0, len(request) * 10 / 115200 * 0.9)  # taken in at wire speed
            t0 = time.monotonic()
            self.assertEqual(m.ask(loader_frame(0x1031), 10, timeout=20), loader_answer(0x1031, 0))
            self.assertGreater(time.monotonic() - t0, 0.4)  # 2 s per MiB, scaled by 0.25
        finally:
            m.stop()


class OptionsTest(unittest.TestCase):
    def test_options_shape_the_module(self):
        probe = hci_command(0xFC61, bytes([0x00, 0x50, 0x01, 0x04, 0x00]))
        record = struct.pack("<7I", 0x10000000, 0x4000, 0x1000000, 0x2000, 0, 0x1000, 0x4410) + b"ABCDEFGHIJKLMNOP"
        cases = [
            (["--probe-status", "0x22"], probe, hci_event(0xFC61, 0x22)),
            (["--signature", "0x2000EB01"], hci_read(0x19000, 4), read_answer(0x19000, bytes([1, 0xEB, 0, 0x20]))),
            (["--flash-id", "0xC2164020"], flash_control(6), hci_event(0xFC2C, 0, bytes([0x20, 0x40, 0x16, 0xC2]))),
            (["--iflash-base", "0x1000000", "--iflash-size", "0x2000"], hci_read(0x1000000, 4),
             read_answer(0x1000000, b"\xff" * 4)),
            (["--iflash-size", "0x2000"], hci_read(IFLASH + 0x2000, 4), read_answer(IFLASH + 0x2000, bytes(4))),
            (["--boot", "loader", "--ext-flash-id", "0x1840C8"], loader_frame(0x103C),
             loader_answer(0x103C, 0, bytes([0xC8, 0x40, 0x18, 0]))),
            (["--boot", "loader", "--prop-ram-start", "0x10000000", "--prop-ram-size", "0x4000",
              "--iflash-base", "0x1000000", "--iflash-size", "0x2000", "--eflash-size", "0x1000",
              "--prop-id", "0x4410", "--prop-name", "ABCDEFGHIJKLMNOP"], loader_frame(0x1000),
             loader_answer(0x1000, 0, record)),
        ]
        tmp = tempfile.mkdtemp(dir=h.E2E_TMP if os.path.isdir(h.E2E_TMP) else None)
        for args, request, expected in cases:
            with self.subTest(args):
                m = VModule(*args, tmp=tmp)
                try:
                    m.open()
                    self.assertEqual(m.ask(request, len(expected)).hex(" "), expected.hex(" "))
                finally:
                    m.stop()


class LifecycleTest(unittest.TestCase):
    def test_help_and_bad_options(self):
        p = subprocess.run([h.VMODULE, "--help"], capture_output=True, timeout=10)
        self.assertEqual(p.returncode, 0)
        for word in [b"--pty-link", b"--usb-socket", b"--fault", b"--pace", b"--flash-times", b"--boot"]:
            self.assertIn(word, p.stdout)
        for args in [["--boot", "rom"], ["--iflash-size", "0"], ["--prop-name", "x" * 17], ["stray"]]:
            with self.subTest(args):
                p = subprocess.run([h.VMODULE, *args], capture_output=True, timeout=10)
                self.assertEqual(p.returncode, 2)

    def test_pty_is_its_controlling_terminal(self):
        m = VModule()
        try:
            with open("/proc/%d/stat" % m.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            session, tty_nr = int(fields[3]), int(fields[4])
            rdev = os.stat(m.slave).st_rdev
            self.assertEqual(session, m.proc.pid)  # leads its own session
            self.assertEqual(((tty_nr >> 8) & 0xFFF, (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00)),
                             (os.major(rdev), os.minor(rdev)))
        finally:
            m.stop()

    def test_signals_sync_and_clean_up(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig.name):
                tmp = tempfile.mkdtemp(dir=h.E2E_TMP if os.path.isdir(h.E2E_TMP) else None)
                link = os.path.join(tmp, "ttyVM")
                sock = os.path.join(tmp, "usb.sock")
                iflash = os.path.join(tmp, "iflash.bin")
                m = VModule("--boot", "loader", "--pty-link", link, "--usb-socket", sock, "--iflash", iflash,
                            "--iflash-size", "0x2000", tmp=tmp)
                self.assertEqual(os.path.realpath(link), os.path.realpath(m.slave))
                m.open()
                self.assertEqual(m.ask(program_frame(0x1032, IFLASH, b"\x5a" * 4), 10), loader_answer(0x1032, 0))
                m.close_line()
                m.proc.send_signal(sig)
                self.assertEqual(m.proc.wait(10), 0)
                m.stop()
                self.assertFalse(os.path.lexists(link))
                self.assertFalse(os.path.lexists(sock))
                with open(iflash, "rb") as f:
                    image = f.read()
                self.assertEqual(len(image), 0x2000)
                self.assertEqual(image[:8], b"\x5a" * 4 + b"\xff" * 4)


if __name__ == "__main__":
    unittest.main(verbosity=2)
