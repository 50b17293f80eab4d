"""End-to-end test harness: runs the real flint binary, alone or against the
virtual module on a pseudo-terminal (or its USB socket).

Environment (set by CTest):
  FLINT    the flint binary under test
  VMODULE  the virtual module (absent: module tests skip)
  E2E_TMP  a scratch folder; every module and test gets a fresh folder in it
"""
import concurrent.futures
import os
import re
import select
import signal
import subprocess
import tempfile
import time
import unittest

from crc16 import crc16  # noqa: F401 (the tests use harness.crc16)

FLINT = os.environ.get("FLINT", "")
VMODULE = os.environ.get("VMODULE", "")
E2E_TMP = os.environ.get("E2E_TMP") or os.path.join(tempfile.gettempdir(), "flint_e2e")

# True when FLINT is the Windows build, run through Wine. Wine shows neither
# non-standard baud rates (they become 38400) nor parity or data bits on a
# pseudo-terminal: tests of those skip when this is set.
UNDER_WINE = FLINT.lower().endswith(".exe")
WINE = os.environ.get("WINE", "wine")
WINE_COM_BASE = 100


def wine_env():
    """Wine's environment: quiet, with the prefix tools/windows/test.sh made
    (WINEPREFIX, by default the folder "wineprefix" beside flint.exe)."""
    prefix = os.environ.get("WINEPREFIX") or os.path.join(os.path.dirname(os.path.abspath(FLINT)),
                                                          "wineprefix")
    return {"WINEPREFIX": prefix, "WINEDEBUG": "-all"}

PROMPT = "FLINT> "
def _project_version():
    """The version flint prints: the project version of CMakeLists.txt."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    with open(top) as f:
        match = re.search(r"project\(flint VERSION ([0-9.]+)", f.read())
    return match.group(1)


VERSION = _project_version()

IFLASH_BASE = 0x800000
IFLASH_SIZE = 0x100000
EFLASH_SIZE = 0x400000
ERASED = 0xFF

READY_PREFIX = "vmodule ready: "
READY_TIMEOUT_S = 20
STOP_TIMEOUT_S = 10

# Loader files of the loader table, by record: (file name, cut name or None).
LOADER_FILES = [
    "KVL441A_FW.bin",
    "KVL4410C_FW_A.bin",
    "KVL4410C_FW_B.bin",
    "KVL4420B_FW_V1.bin",
    "KVL4420B_FW_V2.bin",
    "KVL4420B_FW_V3.bin",
    "boot_patch.bin",
]
LOADER_FILE_BYTES = 4096


def scratch_dir(prefix="t"):
    """A fresh folder under E2E_TMP."""
    os.makedirs(E2E_TMP, exist_ok=True)
    return tempfile.mkdtemp(prefix=prefix + "_", dir=E2E_TMP)


def _num(text):
    return int(text, 0)


class VModule:
    """The virtual module as a context manager.

    extra_args: further command-line words for the module (e.g. ["--boot", "loader"],
    ["--fault", "1032:status=5"]). iflash / eflash: {module address: bytes} written into
    the memory files before the module starts (the rest is erased, 0xFF). usb=True also
    serves the USB socket (.usb_socket, and .usb_env for flint's environment).
    """

    def __init__(self, extra_args=(), iflash=None, eflash=None, usb=False):
        self.dir = scratch_dir("vm")
        self.iflash = os.path.join(self.dir, "iflash.bin")
        self.eflash = os.path.join(self.dir, "eflash.bin")
        self.efuse = os.path.join(self.dir, "efuse.bin")
        self.log = os.path.join(self.dir, "module.log")
        self.stderr_path = os.path.join(self.dir, "module.err")
        self.usb_socket = os.path.join(self.dir, "usb.sock") if usb else None
        self.extra_args = list(extra_args)
        self.iflash_base = IFLASH_BASE
        self.iflash_size = IFLASH_SIZE
        self.eflash_size = EFLASH_SIZE
        self._read_sizes(self.extra_args)
        self.port = None
        self.proc = None
        if iflash:
            self._preload(self.iflash, self.iflash_size, self.iflash_base, iflash)
        if eflash:
            self._preload(self.eflash, self.eflash_size, 0, eflash)

    def _read_sizes(self, args):
        for i, word in enumerate(args[:-1]):
            if word == "--iflash-base":
                self.iflash_base = _num(args[i + 1])
            elif word == "--iflash-size":
                self.iflash_size = _num(args[i + 1])
            elif word == "--eflash-size":
                self.eflash_size = _num(args[i + 1])

    @staticmethod
    def _preload(path, size, base, blocks):
        with open(path, "wb") as f:
            f.write(bytes([ERASED]) * size)
            for addr, data in blocks.items():
                f.seek(addr - base)
                f.write(data)

    @property
    def usb_env(self):
        return {"FLINT_USB_DEVICE": "sim:" + self.usb_socket}

    def start(self):
        if not VMODULE:
            raise RuntimeError("VMODULE is not set")
        cmd = [VMODULE, "--iflash", self.iflash, "--eflash", self.eflash, "--efuse", self.efuse,
               "--log", self.log]
        if self.usb_socket:
            cmd += ["--usb-socket", self.usb_socket]
        cmd += self.extra_args
        # Standard error goes to a file: a pipe nobody reads could fill and
        # stall the module.
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err,
                                         stdin=subprocess.DEVNULL)
        line = self._ready_line()
        if not line.startswith(READY_PREFIX):
            self.stop()
            raise RuntimeError("virtual module did not start: %r %s" % (line, self.stderr_text()))
        self.port = line[len(READY_PREFIX):].strip()
        return self

    def _ready_line(self):
        buf = read_until(self.proc.stdout, re.compile(b"\n"), READY_TIMEOUT_S)
        return buf.split(b"\n", 1)[0].decode(errors="replace")

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # Memory, as the module's files hold it (they are mapped shared by the module).
    def read_iflash(self, addr, n):
        return self._read(self.iflash, addr - self.iflash_base, n)

    def read_eflash(self, addr, n):
        return self._read(self.eflash, addr, n)

    def read_efuse(self, offset=0, n=None):
        with open(self.efuse, "rb") as f:
            f.seek(offset)
            return f.read() if n is None else f.read(n)

    def write_iflash(self, addr, data):
        self._write(self.iflash, addr - self.iflash_base, data)

    def write_eflash(self, addr, data):
        self._write(self.eflash, addr, data)

    @staticmethod
    def _read(path, offset, n):
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read(n)

    @staticmethod
    def _write(path, offset, data):
        with open(path, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def stderr_text(self):
        try:
            with open(self.stderr_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""


def read_until(stream, pattern, timeout=30):
    """What a child's output pipe gave until `pattern` matched it (or the
    time-out passed, or the output ended)."""
    fd = stream.fileno()
    seen = b""
    deadline = time.monotonic() + timeout
    while not pattern.search(seen):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        seen += chunk
    return seen


def side_by_side(jobs, run, workers=4):
    """run(job) for every job, `workers` at a time (a job mostly waits for
    a module or a time-out); the results in the order of the jobs."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(run, jobs))


def run_flint(args, stdin_text="", cwd=None, env=None, timeout=120, program=None):
    """Runs flint (or a copy of it at `program`) with standard output and
    standard error in one pipe; env adds variables to the environment (a
    value None removes one). Returns (exit status, output without CR); -1
    shows as 255 on Linux."""
    full_env = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            full_env.pop(name, None)
        else:
            full_env[name] = value
    cmd = [program or FLINT] + list(args)
    if UNDER_WINE:
        # Wine runs the Windows build; it ends with the low byte of the exit
        # code like a Linux process, and its lines end in CRLF (removed below).
        full_env.update(wine_env())
        cmd = [WINE] + cmd
    proc = subprocess.run(cmd, input=stdin_text.encode(), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, cwd=cwd, env=full_env, timeout=timeout)
    return proc.returncode, proc.stdout.decode(errors="replace").replace("\r", "")


def flint_port(vm):
    """The port text flint is given for the module."""
    if UNDER_WINE:
        # A COM port of the Wine prefix mapped to the module's pseudo-terminal:
        # /dev/pts/M becomes COM(100+M), so modules alive at the same time
        # (tests running in parallel share the prefix) never share a name, and
        # none collides with the COM1, COM2... that Wine's device manager
        # gives the machine's own serial devices when its server starts.
        number = WINE_COM_BASE + int(os.path.basename(os.path.realpath(vm.port)))
        link = os.path.join(wine_env()["WINEPREFIX"], "dosdevices", "com%d" % number)
        temp = "%s.%d" % (link, os.getpid())
        os.symlink(vm.port, temp)
        os.replace(temp, link)
        return "COM%d" % number
    return vm.port


def flint_shell(lines, cwd=None, env=None, timeout=120):
    """flint -i fed the lines; (exit status, output)."""
    return run_flint(["-i"], shell_script(*lines), cwd=cwd, env=env, timeout=timeout)


def make_fw_dir(path, size=LOADER_FILE_BYTES):
    """Writes loader files under the loader table's names; {name: bytes}."""
    os.makedirs(path, exist_ok=True)
    files = {}
    for i, name in enumerate(LOADER_FILES):
        data = bytes((i * 37 + k * 7 + (k >> 8)) & 0xFF for k in range(size))
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)
        files[name] = data
    return files


def shell_script(*lines):
    """Standard input for flint -i: one line each."""
    return "".join(line + "\n" for line in lines)


def split_at_prompts(output, prompt=PROMPT):
    """The output of each command line: the text between prompts. The first
    item is what came before the first prompt; the last ends with "Quit"."""
    return output.split(prompt)


def dump_lines(addr, data):
    """The lines flashread prints for data read at addr."""
    out = []
    for at in range(0, len(data), 16):
        out.append("%08X = " % (addr + at) + "".join("%02X " % b for b in data[at:at + 16]) + "\n")
    return "".join(out)




def header_image(payload, trailer=b""):
    """An image with a valid 512-byte header in front of payload (and trailer
    bytes behind it that lie outside the payload)."""
    head = bytearray()
    head += bytes([1, 0, 2]) + b"\x01\x02"
    head += bytes([2, 0, 4]) + b"\x00\x20\x80\x00"
    head += bytes([3, 0, 32]) + b"N" * 32
    head += bytes([4, 0, 4]) + len(payload).to_bytes(4, "little")
    head += bytes(512 - len(head))
    return bytes(head) + payload + trailer


class Scratch:
    """The files of a scratch folder, self.dir."""

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        """Writes the bytes to the folder's file `name` (its sub-folders
        made); its path."""
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path


class ShellSession(Scratch, unittest.TestCase):
    """A test of flint -i against the virtual module: a scratch folder of
    its own (SCRATCH names it) with a loader folder "fw" in it."""

    SCRATCH = "session"

    @classmethod
    def setUpClass(cls):
        if not VMODULE:
            raise unittest.SkipTest("VMODULE is not set: no virtual module to talk to")

    def setUp(self):
        self.dir = scratch_dir(self.SCRATCH)
        self.fw = os.path.join(self.dir, "fw")
        make_fw_dir(self.fw)

    def shell(self, lines, env=None, timeout=120):
        """flint -i fed the lines; the output of each line, in order."""
        rc, out = run_flint(["-i"], shell_script(*lines), cwd=self.dir, env=env, timeout=timeout)
        self.assertEqual(rc, 0, out)
        parts = split_at_prompts(out)
        self.assertEqual(parts[0], "", out)
        self.assertEqual(parts[-1], "Quit\n", out)
        return parts[1:-1]

    def expect(self, steps, env=None):
        """Runs the (line, expected output) steps in one shell; an expected
        output may be a compiled pattern for the whole of it, or None to
        take any output."""
        got = self.shell([line for line, _ in steps], env=env)
        self.assertEqual(len(got), len(steps), got)
        for (line, want), text in zip(steps, got):
            if isinstance(want, str):
                self.assertEqual(text, want, "line: %s" % line)
            elif want is not None:
                self.assertRegex(text, want, "line: %s" % line)
        return got


def run_on_terminal(args, cwd, env=None, timeout=60):
    """Runs a program with standard output and standard error on a new
    pseudo-terminal; (exit status, everything it wrote)."""
    import pty
    master, slave = pty.openpty()
    proc = subprocess.Popen(args, cwd=cwd, env=dict(os.environ, **(env or {})), stdout=slave, stderr=slave)
    os.close(slave)
    data = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    proc.wait(timeout=timeout)
    os.close(master)
    return proc.returncode, data.decode(errors="replace")
