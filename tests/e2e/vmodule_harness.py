"""Drives the virtual module directly: starts it, talks raw bytes over its
pseudo-terminal or its USB message socket, builds and checks frames."""
import os
import select
import socket
import struct
import subprocess
import tempfile
import termios
import time
import tty

from crc16 import crc16, with_crc  # noqa: F401

VMODULE = os.environ.get("VMODULE", "vmodule")
E2E_TMP = os.environ.get("E2E_TMP", tempfile.gettempdir())

READY_PREFIX = "vmodule ready: "
READY_TIMEOUT_S = 20.0
READ_TIMEOUT_S = 5.0






def loader_frame(code, payload=b""):
    return with_crc(bytes([0x87]) + struct.pack("<H", code) + payload)


def addr_size(code, addr, size):
    return loader_frame(code, struct.pack("<II", addr, size))


def program_frame(code, addr, data):
    return loader_frame(code, struct.pack("<II", addr, len(data)) + data)


def verify_frame(code, addr, size, crc):
    return loader_frame(code, struct.pack("<IIH", addr, size, crc))


def loader_answer(code, status, data=b""):
    """The answer the module sends: 87, code echo, status, data length, data, CRC."""
    return with_crc(bytes([0x87]) + struct.pack("<HBI", code, status, len(data)) + data)


def hci_command(opcode, params=b""):
    return bytes([0x01]) + struct.pack("<HB", opcode, len(params)) + params


def hci_event(opcode, status, ret=b""):
    return bytes([0x04, 0x0E, 4 + len(ret), 0x01]) + struct.pack("<HB", opcode, status) + ret


def flash_control(sub, arg1=0, arg2=0):
    return hci_command(0xFC2C, struct.pack("<III", sub, arg1, arg2))


RATE_CONSTANTS = {
    115200: termios.B115200, 921600: termios.B921600, 1000000: termios.B1000000,
    2000000: termios.B2000000, 3000000: termios.B3000000,
}


class VModule:
    """One vmodule process and, on demand, the host end of its line."""

    def __init__(self, *args, tmp=None):
        self.tmp = tmp or tempfile.mkdtemp(dir=E2E_TMP if os.path.isdir(E2E_TMP) else None)
        self.log_path = os.path.join(self.tmp, "module.log")
        self.proc = subprocess.Popen([VMODULE, "--log", self.log_path, *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.slave = self._await_ready()
        self.fd = None

    def _await_ready(self):
        ready, _, _ = select.select([self.proc.stdout], [], [], READY_TIMEOUT_S)
        if not ready:
            self.proc.kill()
            raise RuntimeError("vmodule did not get ready")
        line = self.proc.stdout.readline().decode()
        if not line.startswith(READY_PREFIX):
            self.proc.wait(5)
            raise RuntimeError("vmodule failed: %r %r" % (line, self.proc.stderr.read()))
        return line[len(READY_PREFIX):].rstrip("\n")

    # ---------------------------------------------------------------- line
    def open(self, rate=115200):
        self.fd = os.open(self.slave, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.set_rate(rate)
        return self

    def set_rate(self, rate):
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = RATE_CONSTANTS[rate]
        attrs[2] |= termios.CLOCAL | termios.CREAD
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def close_line(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def send(self, data):
        os.write(self.fd, data)

    def read(self, n, timeout=READ_TIMEOUT_S):
        """Up to n bytes, waiting at most `timeout` in all."""
        out = b""
        end = time.monotonic() + timeout
        while len(out) < n:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            out += os.read(self.fd, n - len(out))
        return out

    def read_quiet(self, quiet=0.3, limit=10.0):
        """Everything until the line stays quiet for `quiet` seconds."""
        out = b""
        end = time.monotonic() + limit
        while time.monotonic() < end and select.select([self.fd], [], [], quiet)[0]:
            out += os.read(self.fd, 65536)
        return out

    def ask(self, request, answer_len, timeout=READ_TIMEOUT_S):
        self.send(request)
        return self.read(answer_len, timeout)

    # ---------------------------------------------------------------- usb
    def usb(self, path):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        sock.connect(path)
        sock.settimeout(READ_TIMEOUT_S)
        return sock

    # ---------------------------------------------------------------- end
    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def wait_log(self, text, count=1, timeout=READ_TIMEOUT_S):
        """Waits until the log holds `text` at least `count` times."""
        end = time.monotonic() + timeout
        while self.log().count(text) < count and time.monotonic() < end:
            time.sleep(0.01)
        return self.log().count(text) >= count

    def stop(self):
        self.close_line()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        errors = self.proc.stderr.read().decode(errors="replace")
        self.proc.stdout.close()
        self.proc.stderr.close()
        if self.proc.returncode != 0:
            raise AssertionError("vmodule ended with %s: %s" % (self.proc.returncode, errors))
        return self.proc.returncode
