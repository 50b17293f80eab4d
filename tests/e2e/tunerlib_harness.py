"""End-to-end harness of the calibration library: the real library, loaded at
run time by tools/tunerlib_driver (one export call a command line), against
simulated golden samples and DUTs (tools/simgolden) on pseudo-terminals.

Environment (set by CTest, or by tools/windows/test.sh for the Windows build):
  TUNERLIB         the library (Linux build: path of libtunerlib.so)
  TUNERLIB_DRIVER  the driver program
  SIMGOLDEN        the simulator (a Linux program in both cases)
  FLINT            ends in .exe for the Windows build: then the driver is
                   tunerlib_driver.exe beside it, run under Wine through
                   debug_output_runner.exe (which prints the library's
                   OutputDebugStringW lines), the library is tunerlib.dll, and
                   the ports are COMn names in the registry's serial device map.
Linux: the library's log lines go to standard error (TUNERLIB_LOG=stderr) and
the port list is TUNERLIB_SERIAL_PORTS.
"""
import os
import select
import signal
import subprocess
import time

import harness
from crc16 import crc16, with_crc  # noqa: F401

UNDER_WINE = harness.UNDER_WINE
SIMGOLDEN = os.environ.get("SIMGOLDEN", "")
if UNDER_WINE:
    _WIN_DIR = os.path.dirname(os.path.abspath(harness.FLINT))
    DRIVER = os.path.join(_WIN_DIR, "tunerlib_driver.exe")
    RUNNER = os.path.join(_WIN_DIR, "debug_output_runner.exe")
    STATION = os.path.join(_WIN_DIR, "station.exe")
    LIBRARY = "tunerlib.dll"
else:
    DRIVER = os.environ.get("TUNERLIB_DRIVER", "")
    LIBRARY = os.environ.get("TUNERLIB", "")
    STATION = os.environ.get("TUNERLIB_STATION", "")
    RUNNER = ""

READY = "simgolden ready: "
CALL_TIMEOUT_S = 60
SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"


def available():
    """Why the tests cannot run, or ""."""
    for what, path in (("SIMGOLDEN", SIMGOLDEN), ("the driver", DRIVER)):
        if not path or not os.path.exists(path):
            return "%s is not available (%r)" % (what, path)
    return ""


class Sim:
    """simgolden with the given modules ("golden", "dut,fault=dut:badcrc", ...)."""

    def __init__(self, *modules, pace=False):
        self.modules = list(modules)
        self.pace = pace
        self.dir = harness.scratch_dir("sim")
        self.log = os.path.join(self.dir, "sim.log")
        self.proc = None
        self.ptys = []

    def __enter__(self):
        cmd = [SIMGOLDEN, "--log", self.log] + (["--pace"] if self.pace else []) + self.modules
        self.err = open(os.path.join(self.dir, "sim.err"), "wb")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.err, stdin=subprocess.DEVNULL)
        fd = self.proc.stdout.fileno()
        buf = b""
        deadline = time.monotonic() + 20
        while b"\n" not in buf and time.monotonic() < deadline:
            if not select.select([fd], [], [], deadline - time.monotonic())[0]:
                break
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            buf += chunk
        line = buf.decode().split("\n")[0]
        if not line.startswith(READY):
            self.__exit__()
            raise RuntimeError("simgolden did not start: %r" % line)
        self.ptys = line[len(READY):].split()
        return self

    def __exit__(self, *exc):
        if self.proc is not None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()
            self.proc = None
            self.err.close()
        return False

    def names(self):
        """The modules' port names as the library sees them."""
        return [port_name(p) for p in self.ptys]

    def requests(self, index):
        """The requests module `index` received, as lists of byte values."""
        return [bytes.fromhex(l.split(" rx ", 1)[1].replace(" ", ""))
                for l in self.log_lines() if l.startswith("%d rx " % index)]

    def log_lines(self):
        """The whole lines of the log: the simulator may be writing the last."""
        try:
            with open(self.log) as f:
                return f.read().split("\n")[:-1]
        except FileNotFoundError:
            return []


def port_name(pty):
    """Linux: the name relative to /dev ("pts/3"). Wine: a COM port of the
    prefix linked to the pseudo-terminal (COM100+N)."""
    if not UNDER_WINE:
        return os.path.relpath(pty, "/dev")

    class _Port:
        port = pty
    return harness.flint_port(_Port)


def wine_cmd(args):
    env = dict(os.environ)
    env.update(harness.wine_env())
    return subprocess.run([harness.WINE] + args, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)


def set_port_list(names):
    """The system's list of serial ports: on Windows the registry's serial
    device map (values \\Device\\SimK = name, in this order)."""
    if not UNDER_WINE:
        return {"TUNERLIB_SERIAL_PORTS": ":".join(names)}
    # The key is volatile (Wine's mount manager makes it when the server
    # starts): its values are replaced, the key itself stays.
    wine_cmd(["reg", "delete", SERIALCOMM, "/va", "/f"])
    for k, name in enumerate(names):
        r = wine_cmd(["reg", "add", SERIALCOMM, "/v", "\\Device\\Sim%d" % k, "/t", "REG_SZ", "/d", name, "/f"])
        if r.returncode != 0:
            raise RuntimeError("wine reg add failed: %r" % r.stdout)
    return {}


def remove_port_list():
    """No serial device map at all (Windows only). reg.exe cannot make the
    volatile key again: restore_port_list() restarts the Wine server, whose
    mount manager makes it."""
    wine_cmd(["reg", "delete", SERIALCOMM, "/f"])


def restore_port_list():
    env = dict(os.environ)
    env.update(harness.wine_env())
    subprocess.run(["wineserver", "-k"], env=env, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait(timeout=60)
    subprocess.run(["wineboot"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


class Driver:
    """The driver as a running process: call() sends one command line and
    returns (log lines before the result, result line)."""

    def __init__(self, ports=None, env=None):
        full_env = dict(os.environ)
        extra = set_port_list(ports) if ports is not None else {}
        if UNDER_WINE:
            full_env.update(harness.wine_env())
            cmd = [harness.WINE, RUNNER, DRIVER, LIBRARY]
        else:
            full_env["TUNERLIB_LOG"] = "stderr"
            full_env.pop("TUNERLIB_SERIAL_PORTS", None)
            cmd = [DRIVER, LIBRARY]
        full_env.update(extra)
        if env:
            full_env.update(env)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=full_env,
                                     cwd=os.path.dirname(DRIVER) if UNDER_WINE else None)
        self.pending = b""
        self.transcript = []

    def call(self, line, timeout=CALL_TIMEOUT_S):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        logs = []
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                raw, self.pending = self.pending.split(b"\n", 1)
                text = raw.decode(errors="replace").replace("\r", "")
                self.transcript.append(text)
                if text.startswith("= "):
                    return logs, text[2:]
                logs.append(text)
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("no result for %r; so far %r" % (line, self.transcript))
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("driver ended during %r; output %r" % (line, self.transcript))
            self.pending += chunk

    def close(self):
        """Ends the script; the driver's exit status and any further output."""
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        rc = self.proc.wait(timeout=60)
        self.proc.stdout.close()
        return rc, (self.pending + rest).decode(errors="replace").replace("\r", "")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            try:
                self.close()
            except Exception:
                self.proc.kill()
                self.proc.wait()
        return False


def reply(op, payload=b"", status=0):
    """A reply packet as a module sends it."""
    return with_crc(bytes([0x87, op, 0x11, status]) + len(payload).to_bytes(4, "little") + payload)


def request(op, params=b""):
    return with_crc(bytes([0x87, op, 0x11]) + bytes(params))
