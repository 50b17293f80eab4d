"""A module with the loader running, reached over USB: a umockdev device whose
usbfs ioctls are answered here, so that the real libusb in flint talks bulk
transfers to it.

The device has one interface with a bulk OUT and a bulk IN endpoint. Every bulk
OUT transfer is one loader request frame; the answer is queued and handed out
by the next bulk IN transfer, exactly as long as the loader would send it.
The module keeps its internal flash in memory so tests can look at it.

Needs the umockdev GObject bindings (gir1.2-umockdev-1.0, python3-gi) and must
run inside umockdev-wrapper.
"""
import errno
import os
import struct
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from crc16 import crc16, with_crc  # noqa: E402,F401

VID = 0x1209
PID = 0x0001
EP_OUT = 0x01
EP_IN = 0x81
BULK_MAX_PACKET = 512
BUSNUM = 1
DEVNUM = 7
DEVNODE = "/dev/bus/usb/%03d/%03d" % (BUSNUM, DEVNUM)
KERNEL_DRIVER = "kvx_serial"

# usbfs ioctl requests (x86-64 encodings) and the URB layout.
USBDEVFS_SUBMITURB = 0x8038550A
USBDEVFS_DISCARDURB = 0x0000550B
USBDEVFS_REAPURB = 0x4008550C
USBDEVFS_REAPURBNDELAY = 0x4008550D
USBDEVFS_CLAIMINTERFACE = 0x8004550F
USBDEVFS_RELEASEINTERFACE = 0x80045510
USBDEVFS_GETDRIVER = 0x41045508
USBDEVFS_IOCTL = 0xC0105512
USBDEVFS_DISCONNECT = 0x5516
USBDEVFS_CONNECT = 0x5517
URB_SIZE = 56
URB_TYPE_BULK = 3
URB_STATUS = 4
URB_BUFFER = 16
URB_BUFFER_LENGTH = 24
URB_ACTUAL_LENGTH = 28
EOVERFLOW = 75

# The loader's view of the module.
FRAME_MARKER = 0x87
IFLASH_BASE = 0x800000
IFLASH_SIZE = 0x100000
SWD_RAM_START = 0x20000000
SWD_RAM_SIZE = 0x8000
EFLASH_START = 0x0
EFLASH_SIZE = 0x400000
MODULE_ID = 0x4410C
MODULE_NAME = b"KVL4410C"
FLASH_ID = bytes([0x20, 0x40, 0x16])
SECTOR = 4096

CMD_GET_PROP = 0x1000
CMD_SECTOR_ERASE = 0x1030
CMD_CHIP_ERASE = 0x1031
CMD_PROGRAM = 0x1032
CMD_READ = 0x1033
CMD_FLASH_ID = 0x103D
CMD_REBOOT = 0x1041
CMD_VERIFY = 0x1050

# Request length by command: fixed, or a header plus the length field at offset 3/7.
FIXED_REQUEST_LENGTH = {
    0x1000: 5, 0x1010: 10, 0x1030: 13, 0x1031: 5, 0x1033: 13, 0x1035: 13, 0x1036: 13,
    0x1037: 13, 0x1038: 13, 0x1039: 5, 0x103B: 13, 0x103C: 5, 0x103D: 5, 0x1041: 6,
    0x1050: 15, 0x1051: 15,
}
DATA_REQUEST = {0x1032: (7, 13), 0x103A: (7, 13), 0x1061: (3, 9)}  # length field offset, overhead

STATUS_OK = 0
STATUS_BAD_REQUEST = 0xE1
STATUS_OUT_OF_RANGE = 0xE2
STATUS_VERIFY_MISMATCH = 0xE3






def pattern(length, seed=0):
    """Distinct, non-repeating-looking flash contents."""
    return bytes(((i * 131 + (i >> 8) * 7 + seed) & 0xFF) for i in range(length))


def descriptors():
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, VID, PID, 0x0100, 0, 0, 0, 1)
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + 9 + 7 + 7, 1, 1, 0, 0x80, 50)
    interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 2, 0xFF, 0, 0, 0)
    ep_out = struct.pack("<BBBBHB", 7, 5, EP_OUT, 2, BULK_MAX_PACKET, 0)
    ep_in = struct.pack("<BBBBHB", 7, 5, EP_IN, 2, BULK_MAX_PACKET, 0)
    return device + config + interface + ep_out + ep_in


def device_record():
    desc = descriptors().hex().upper()
    return "\n".join([
        "P: /devices/pci0000:00/0000:00:14.0/usb1/1-4",
        "N: bus/usb/%03d/%03d=%s" % (BUSNUM, DEVNUM, desc),
        "E: DEVNAME=%s" % DEVNODE,
        "E: DEVTYPE=usb_device",
        "E: SUBSYSTEM=usb",
        "E: BUSNUM=%03d" % BUSNUM,
        "E: DEVNUM=%03d" % DEVNUM,
        r"A: busnum=%d\n" % BUSNUM,
        r"A: devnum=%d\n" % DEVNUM,
        r"A: idVendor=%04x\n" % VID,
        r"A: idProduct=%04x\n" % PID,
        r"A: speed=480\n",
        r"A: bConfigurationValue=1\n",
        r"A: bNumConfigurations=1\n",
        "H: descriptors=%s" % desc,
        "",
    ])


class LoaderModule:
    """The loader's side of the protocol over an in-memory internal flash."""

    def __init__(self):
        self.flash = bytearray(pattern(IFLASH_SIZE))
        self.requests = []        # (code, address, length) of each request
        self.short_reads = set()  # read addresses answered 4 bytes short

    def answer(self, frame):
        if len(frame) < 5 or frame[0] != FRAME_MARKER or crc16(frame[:-2]) != struct.unpack_from("<H", frame, len(frame) - 2)[0]:
            self.requests.append((None, 0, len(frame)))
            return self.response(0, STATUS_BAD_REQUEST)
        code = frame[1] | frame[2] << 8
        payload = frame[3:-2]
        addr, length = struct.unpack_from("<II", payload) if len(payload) >= 8 else (0, 0)
        self.requests.append((code, addr, length))
        handler = {
            CMD_GET_PROP: self.get_prop,
            CMD_SECTOR_ERASE: self.sector_erase,
            CMD_CHIP_ERASE: self.chip_erase,
            CMD_PROGRAM: self.program,
            CMD_READ: self.read,
            CMD_FLASH_ID: self.flash_id,
            CMD_REBOOT: lambda code, payload: self.response(code, STATUS_OK),
            CMD_VERIFY: self.verify,
        }.get(code)
        if handler is None:
            return self.response(code, STATUS_BAD_REQUEST)
        return handler(code, payload)

    @staticmethod
    def request_length(head):
        """Length of the request that begins with `head`, or None while the
        header is incomplete (an unknown command ends at 5 bytes)."""
        if len(head) < 3:
            return None
        code = head[1] | head[2] << 8
        if code in DATA_REQUEST:
            field, overhead = DATA_REQUEST[code]
            if len(head) < field + 4:
                return None
            return overhead + struct.unpack_from("<I", head, field)[0]
        return FIXED_REQUEST_LENGTH.get(code, 5)

    @staticmethod
    def response(code, status, data=b""):
        return with_crc(bytes([FRAME_MARKER, code & 0xFF, code >> 8, status, 0, 0, 0, 0]) + data)

    def offset(self, addr, length):
        if addr < IFLASH_BASE or addr + length > IFLASH_BASE + IFLASH_SIZE:
            return None
        return addr - IFLASH_BASE

    def get_prop(self, code, _payload):
        record = struct.pack("<IIIIIII16s", SWD_RAM_START, SWD_RAM_SIZE, IFLASH_BASE, IFLASH_SIZE,
                             EFLASH_START, EFLASH_SIZE, MODULE_ID, MODULE_NAME)
        return self.response(code, STATUS_OK, record)

    def flash_id(self, code, _payload):
        return self.response(code, STATUS_OK, FLASH_ID + b"\0")

    def sector_erase(self, code, payload):
        addr, size = struct.unpack_from("<II", payload)
        start = addr - addr % SECTOR
        end = addr + size
        end += (-end) % SECTOR
        off = self.offset(start, end - start)
        if off is None:
            return self.response(code, STATUS_OUT_OF_RANGE)
        self.flash[off:off + end - start] = b"\xff" * (end - start)
        return self.response(code, STATUS_OK)

    def chip_erase(self, code, _payload):
        self.flash[:] = b"\xff" * IFLASH_SIZE
        return self.response(code, STATUS_OK)

    def program(self, code, payload):
        addr, length = struct.unpack_from("<II", payload)
        data = payload[8:]
        off = self.offset(addr, length)
        if off is None or len(data) != length:
            return self.response(code, STATUS_OUT_OF_RANGE)
        # NOR flash: programming only clears bits.
        self.flash[off:off + length] = bytes(a & b for a, b in zip(self.flash[off:off + length], data))
        return self.response(code, STATUS_OK)

    def read(self, code, payload):
        addr, length = struct.unpack_from("<II", payload)
        off = self.offset(addr, length)
        if off is None:
            return self.response(code, STATUS_OUT_OF_RANGE, b"\0" * length)
        frame = self.response(code, STATUS_OK, bytes(self.flash[off:off + length]))
        return frame[:-4] if addr in self.short_reads else frame

    def verify(self, code, payload):
        addr, length, crc = struct.unpack_from("<IIH", payload)
        off = self.offset(addr, length)
        if off is None:
            return self.response(code, STATUS_OUT_OF_RANGE)
        ok = crc16(self.flash[off:off + length]) == crc
        return self.response(code, STATUS_OK if ok else STATUS_VERIFY_MISMATCH)


class UsbfsDevice(UMockdev.IoctlBase):
    """usbfs of the device node: interface claims, a kernel driver that can be
    detached, and bulk URBs carried to and from the loader."""

    def __init__(self, loader):
        super().__init__()
        self.loader = loader
        self.events = []      # ("claim", n), ("release", n), ("detach", n), ("attach", n), ...
        self.driver_bound = True
        self.incoming = b""   # request bytes received so far
        self.outgoing = b""   # response bytes not yet fetched by bulk IN
        self.reapable = []    # completed URBs (IoctlData) in completion order

    def do_handle_ioctl(self, client):
        request = client.get_request()
        arg = client.get_arg()
        handler = {
            USBDEVFS_SUBMITURB: self.submit,
            USBDEVFS_REAPURB: self.reap,
            USBDEVFS_REAPURBNDELAY: self.reap,
            USBDEVFS_CLAIMINTERFACE: self.claim,
            USBDEVFS_RELEASEINTERFACE: lambda a: self.interface_call("release", a),
            USBDEVFS_GETDRIVER: self.get_driver,
            USBDEVFS_IOCTL: self.driver_ioctl,
        }.get(request)
        if handler is None:
            self.events.append(("unhandled", request))
            client.complete(-1, errno.ENOTTY)
            return True
        result, err = handler(arg)
        client.complete(result, err)
        return True

    @staticmethod
    def read_struct(arg, size):
        data = arg.resolve(0, size)
        return data, bytes(data.retrieve())

    def interface_call(self, what, arg):
        _, raw = self.read_struct(arg, 4)
        self.events.append((what, struct.unpack("<I", raw)[0]))
        return 0, 0

    def claim(self, arg):
        # As the kernel: an interface bound to a driver cannot be claimed.
        if self.driver_bound:
            self.events.append(("claim refused", 0))
            return -1, errno.EBUSY
        return self.interface_call("claim", arg)

    def get_driver(self, arg):
        data, raw = self.read_struct(arg, 4 + 256)
        if not self.driver_bound:
            return -1, errno.ENODATA
        name = KERNEL_DRIVER.encode() + b"\0"
        data.update(4, list(name))
        return 0, 0

    def driver_ioctl(self, arg):
        _, raw = self.read_struct(arg, 16)
        ifno, code = struct.unpack_from("<ii", raw)
        if code == USBDEVFS_DISCONNECT and self.driver_bound:
            self.driver_bound = False
            self.events.append(("detach", ifno))
            return 0, 0
        if code == USBDEVFS_CONNECT and not self.driver_bound:
            self.driver_bound = True
            self.events.append(("attach", ifno))
            return 0, 0
        return -1, errno.ENODATA

    def submit(self, arg):
        urb, raw = self.read_struct(arg, URB_SIZE)
        kind, endpoint = raw[0], raw[1]
        length = struct.unpack_from("<i", raw, URB_BUFFER_LENGTH)[0]
        if kind != URB_TYPE_BULK or endpoint not in (EP_OUT, EP_IN):
            return -1, errno.EINVAL
        buffer = urb.resolve(URB_BUFFER, length) if length > 0 else None
        status = 0
        if endpoint == EP_OUT:
            self.incoming += bytes(buffer.retrieve()) if buffer is not None else b""
            self.take_requests()
            actual = length
        else:
            # The device sends whole packets: a transfer that ends inside a
            # packet overflows, otherwise the rest waits for the next one.
            actual = min(len(self.outgoing), length)
            if len(self.outgoing) > length and length % BULK_MAX_PACKET != 0:
                status = -EOVERFLOW
            if actual:
                buffer.update(0, list(self.outgoing[:actual]))
            self.outgoing = self.outgoing[actual:]
        urb.update(URB_STATUS, list(struct.pack("<i", status)))
        urb.update(URB_ACTUAL_LENGTH, list(struct.pack("<i", actual)))
        self.reapable.append(urb)
        return 0, 0

    def take_requests(self):
        while True:
            need = self.loader.request_length(self.incoming)
            if need is None or len(self.incoming) < need:
                return
            frame, self.incoming = self.incoming[:need], self.incoming[need:]
            self.outgoing += self.loader.answer(frame)

    def reap(self, arg):
        if not self.reapable:
            return -1, errno.EAGAIN
        cell = arg.resolve(0, 8)
        cell.set_ptr(0, self.reapable.pop(0))
        return 0, 0


def make_testbed():
    """A testbed with the module's USB device; returns (testbed, loader, usbfs)."""
    testbed = UMockdev.Testbed.new()
    testbed.add_from_string(device_record())
    loader = LoaderModule()
    usbfs = UsbfsDevice(loader)
    testbed.attach_ioctl(DEVNODE, usbfs)
    return testbed, loader, usbfs


def run_serving(argv, env, stdin_text, timeout_s):
    """Runs a program while this process answers its ioctls; returns
    (exit status or None on time-out, stdout, stderr)."""
    import subprocess
    import tempfile

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, tempfile.TemporaryFile() as inp:
        inp.write(stdin_text.encode())
        inp.seek(0)
        proc = subprocess.Popen(argv, env=env, stdin=inp, stdout=out, stderr=err)
        loop = GLib.MainLoop()
        outcome = {}

        def exited(_pid, status):
            outcome["status"] = status
            loop.quit()

        def too_long():
            outcome["timeout"] = True
            proc.kill()
            return False

        GLib.child_watch_add(GLib.PRIORITY_DEFAULT, proc.pid, exited)
        timer = GLib.timeout_add_seconds(timeout_s, too_long)
        loop.run()
        if "timeout" not in outcome:
            GLib.source_remove(timer)
        status = outcome.get("status")
        code = None
        if "timeout" not in outcome and status is not None:
            code = (status >> 8) & 0xFF if (status & 0x7F) == 0 else -(status & 0x7F)
        out.seek(0)
        err.seek(0)
        return code, out.read().decode(errors="replace"), err.read().decode(errors="replace")
