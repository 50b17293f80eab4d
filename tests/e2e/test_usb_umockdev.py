"""USB link through the real libusb: flint -i connects with
FLINT_USB_DEVICE=VID:PID to a module that umockdev emulates (its usbfs ioctls
are answered by tests/e2e/umockdev/kvx_usb_module.py), and runs loader
commands over bulk transfers. Asserts on flint's output, its exit code, the
requests the module received, the USB interface handling and the module's
flash.

The script re-runs itself inside umockdev-wrapper with the system's
/usr/bin/python3 (which has the umockdev bindings). Without umockdev, the
bindings or a native flint it reports SKIP and passes.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FLINT = os.environ.get("FLINT", "")
E2E_TMP = os.environ.get("E2E_TMP") or os.path.join(tempfile.gettempdir(), "flint_e2e")
SYSTEM_PYTHON = "/usr/bin/python3"
INSIDE_MARK = "FLINT_E2E_INSIDE_UMOCKDEV"
SESSION_TIMEOUT_S = 120

PROMPT = "FLINT> "


def skip_reason():
    if not sys.platform.startswith("linux"):
        return "USB emulation needs Linux"
    if not FLINT or FLINT.lower().endswith(".exe"):
        return "needs the native flint binary (FLINT)"
    if shutil.which("umockdev-wrapper") is None:
        return "umockdev-wrapper is not installed (Debian package umockdev)"
    probe = subprocess.run(
        [SYSTEM_PYTHON, "-c", "import gi; gi.require_version('UMockdev', '1.0'); from gi.repository import UMockdev"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if probe.returncode != 0:
        return "the umockdev bindings are missing (gir1.2-umockdev-1.0, python3-gi): " + probe.stderr.strip()
    return None


def run_inside_wrapper():
    reason = skip_reason()
    if reason:
        print("SKIP: " + reason)
        return 0
    env = dict(os.environ, **{INSIDE_MARK: "1"})
    return subprocess.call(["umockdev-wrapper", SYSTEM_PYTHON, os.path.abspath(__file__)] + sys.argv[1:], env=env)


if os.environ.get(INSIDE_MARK) == "1":
    sys.path.insert(0, os.path.join(HERE, "umockdev"))
    import kvx_usb_module as kvx  # noqa: E402


def dump_lines(addr, data):
    """flashread's dump: 16 bytes a line."""
    lines = []
    for off in range(0, len(data), 16):
        chunk = data[off:off + 16]
        lines.append("%08X = " % (addr + off) + "".join("%02X " % b for b in chunk) + "\n")
    return "".join(lines)


class UsbLinkThroughLibusb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.testbed, cls.loader, cls.usbfs = kvx.make_testbed()

    def setUp(self):
        self.loader.__init__()
        self.usbfs.events = []
        self.usbfs.driver_bound = True
        self.usbfs.incoming = b""
        self.usbfs.outgoing = b""
        os.makedirs(E2E_TMP, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="usb_", dir=E2E_TMP)

    def flint(self, lines, device=None):
        if device is None:
            device = "%04x:%04x" % (kvx.VID, kvx.PID)
        env = dict(os.environ)
        env.pop(INSIDE_MARK, None)
        env["FLINT_USB_DEVICE"] = device
        # The testbed sets this in the C environment only, not in os.environ.
        env["UMOCKDEV_DIR"] = self.testbed.get_root_dir()
        # A sanitizer build must accept umockdev's preload library beside it.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        code, out, err = kvx.run_serving([FLINT, "-i"], env, "".join(l + "\n" for l in lines), SESSION_TIMEOUT_S)
        self.assertIsNotNone(code, "flint did not finish within %d s\n%s\n%s" % (SESSION_TIMEOUT_S, out, err))
        return code, out, err

    def test_loader_session_over_bulk_transfers(self):
        image = kvx.pattern(20000, seed=0x5A)
        image_path = os.path.join(self.work, "app.bin")
        with open(image_path, "wb") as f:
            f.write(image)
        before = bytes(self.loader.flash)
        code, out, err = self.flint([
            "connect usb",
            "flashid",
            "flashread 0x800000 0x9c40",
            "pageerase 0x810000 0x5000",
            "program %s 0x810000" % image_path,
            "flashverify %s 0x810000" % image_path,
            "disconnect",
            "exit",
        ])
        self.assertEqual(code, 0, out + err)
        self.assertNotIn("-ERR", out, out + err)
        self.assertNotIn("usb", err.replace("please run", ""), err)
        self.assertIn("Connecting usb sucessed\n", out)
        self.assertIn("RDID(JEDEC) = 164020\n", out)
        self.assertIn(dump_lines(0x800000, before[:40000]), out)

        # Reads and programs travel in packet_size pieces, one request each.
        requests = self.loader.requests
        reads = [r for r in requests if r[0] == kvx.CMD_READ]
        self.assertEqual(reads, [(kvx.CMD_READ, 0x800000, 16384), (kvx.CMD_READ, 0x804000, 16384),
                                 (kvx.CMD_READ, 0x808000, 7232)])
        programs = [r for r in requests if r[0] == kvx.CMD_PROGRAM]
        self.assertEqual(programs, [(kvx.CMD_PROGRAM, 0x810000, 16384), (kvx.CMD_PROGRAM, 0x814000, 3616)])
        self.assertIn((kvx.CMD_VERIFY, 0x810000, 20000), requests)
        self.assertNotIn(None, [r[0] for r in requests], "a request arrived malformed")

        # The module's flash: the image in place, the rest of the erased range
        # blank, everything else untouched.
        flash = self.loader.flash
        off = 0x10000
        self.assertEqual(bytes(flash[off:off + 20000]), image)
        self.assertEqual(bytes(flash[off + 20000:off + 0x5000]), b"\xff" * (0x5000 - 20000))
        self.assertEqual(bytes(flash[:off]), before[:off])
        self.assertEqual(bytes(flash[off + 0x5000:]), before[off + 0x5000:])

        # The kernel driver is detached for the session and given back after it.
        events = [e for e in self.usbfs.events if e[0] != "unhandled"]
        self.assertEqual(events, [("detach", 0), ("claim", 0), ("release", 0), ("attach", 0)])

    def test_read_the_device_cannot_complete_is_a_short_response(self):
        self.loader.short_reads.add(0x820000)
        code, out, err = self.flint(["connect usb", "flashread 0x820000 0x100", "flashid", "disconnect", "exit"])
        self.assertEqual(code, 0, out + err)
        self.assertIn("send read command!\nusb read failed\n", out)
        self.assertIn("recv timeout! need 266 bytes, read 0 bytes.\n", err)
        self.assertIn("-ERR: 2-\n", out)
        # The link stays usable: the next request is answered.
        self.assertIn("RDID(JEDEC) = 164020\n", out)

    def test_second_connect_without_disconnect_reopens_the_device(self):
        code, out, err = self.flint(["connect usb", "connect usb", "flashid", "disconnect", "exit"])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(out.count("Connecting usb sucessed\n"), 2, out + err)
        self.assertIn("RDID(JEDEC) = 164020\n", out)
        events = [e for e in self.usbfs.events if e[0] != "unhandled"]
        self.assertEqual(events, [("detach", 0), ("claim", 0), ("release", 0), ("attach", 0),
                                  ("detach", 0), ("claim", 0), ("release", 0), ("attach", 0)])

    def test_device_without_driver_is_claimed_directly(self):
        self.usbfs.driver_bound = False
        code, out, err = self.flint(["connect usb", "flashid", "disconnect", "exit"])
        self.assertEqual(code, 0, out + err)
        self.assertIn("RDID(JEDEC) = 164020\n", out)
        events = [e for e in self.usbfs.events if e[0] != "unhandled"]
        self.assertEqual(events, [("claim", 0), ("release", 0)])

    def test_absent_device_fails_to_connect(self):
        for device in ["%04x:%04x" % (kvx.VID, kvx.PID + 1), "%04x:%04x" % (kvx.VID + 1, kvx.PID)]:
            code, out, err = self.flint(["connect usb", "exit"], device=device)
            self.assertEqual(code, 0, out + err)
            self.assertIn("usb port open failed\n-ERR: -1-\n", out)
            self.assertIn("Connecting usb failed\n", err)
        self.assertEqual(self.loader.requests, [])
        self.assertEqual([e for e in self.usbfs.events if e[0] != "unhandled"], [])


if __name__ == "__main__":
    if os.environ.get(INSIDE_MARK) != "1":
        sys.exit(run_inside_wrapper())
    unittest.main()
