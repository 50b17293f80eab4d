"""Read time-outs of the serial port as the module sees them, through the real
flint binary: the Linux build (poll) or the Windows build under Wine (Win32
COMMTIMEOUTS), with the same generous bounds for both. Every line of output is
time-stamped as it arrives, which also shows that output comes line by line.
Under Wine, also what only the Windows build does: COM port names, the folder
separator, the missing USB simulation socket, the libusb linked into flint.exe
looking for a USB device, and the direct checks of the
Win32 platform layer (win_platform_check.exe, built beside flint.exe)."""
import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flint_timing  # noqa: E402
import harness  # noqa: E402
from harness import PROMPT, VModule, flint_port, run_flint, shell_script  # noqa: E402

# A module whose loader already runs; "loadfw --autodetect 4" then only
# installs the loader's operations.
MODULE_ARGS = ["--boot", "loader"]
LOADER_LINES = ["loadfw --autodetect 4"]
ERASE_LINE = "pageerase 0x802000 0x1000"
SENT = "send erase command!"
TIMED_OUT = "recv timeout! need 10 bytes, read %d bytes."
# The time-out set after configuration: a total limit (and 1 ms a byte), and
# a limit between two bytes.
TOTAL_S = flint_timing.value("COM_READ_CONSTANT_MS") / 1000
INTERVAL_S = flint_timing.value("COM_READ_INTERVAL_MS") / 1000
RUN_TIMEOUT_S = 120


def timed_shell(lines, cwd):
    """flint -i fed the lines; [(seconds since start, line)] as each line of
    output arrived, prompts removed, and the exit status."""
    cmd = [harness.FLINT, "-i"]
    env = dict(os.environ)
    if harness.UNDER_WINE:
        cmd = [harness.WINE] + cmd
        env.update(harness.wine_env())
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, cwd=cwd, env=env)
    proc.stdin.write(shell_script(*lines).encode())
    proc.stdin.close()
    start = time.monotonic()
    deadline = start + RUN_TIMEOUT_S
    fd = proc.stdout.fileno()
    stamped, pending = [], b""
    while time.monotonic() < deadline:
        if not select.select([fd], [], [], deadline - time.monotonic())[0]:
            break
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        now = time.monotonic() - start
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            text = line.decode(errors="replace").replace("\r", "").replace(PROMPT, "")
            stamped.append((now, text))
    proc.stdout.close()
    try:
        rc = proc.wait(timeout=max(1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        proc.kill()
        rc = proc.wait()
    return stamped, rc


def stamp_of(stamped, text):
    for when, line in stamped:
        if line == text:
            return when
    raise AssertionError("no line %r in %r" % (text, [line for _, line in stamped]))


class ReadTimeouts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not harness.VMODULE:
            raise unittest.SkipTest("VMODULE is not set: no virtual module to talk to")

    def erase_gap(self, fault, got):
        """Seconds between the erase request's line and the time-out line."""
        with VModule(MODULE_ARGS + ["--fault", fault]) as vm:
            port = flint_port(vm)
            stamped, rc = timed_shell(["connect %s" % port] + LOADER_LINES + [ERASE_LINE], harness.scratch_dir("timing"))
        self.assertEqual(rc, 0, stamped)
        return stamp_of(stamped, TIMED_OUT % got) - stamp_of(stamped, SENT)

    def test_a_silent_module_is_waited_for_the_whole_total_time_out(self):
        gap = self.erase_gap("1030:silence", 0)
        self.assertGreaterEqual(gap, TOTAL_S - 0.5)
        self.assertLess(gap, TOTAL_S + 10)

    def test_a_reply_that_stops_ends_the_read_one_interval_after_its_last_byte(self):
        gap = self.erase_gap("1030:short=6", 6)
        self.assertGreaterEqual(gap, INTERVAL_S - 0.3)
        self.assertLess(gap, TOTAL_S - 1.5, "the read waited for the total time-out, not the interval")

    def test_complete_replies_return_without_waiting_for_the_interval(self):
        count = 10
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            stamped, rc = timed_shell(["connect %s" % port] + LOADER_LINES + ["flashid"] * count,
                                      harness.scratch_dir("timing"))
        self.assertEqual(rc, 0, stamped)
        ids = [when for when, line in stamped if line.startswith("RDID(JEDEC) = ")]
        self.assertEqual(len(ids), count, stamped)
        # Waiting for the interval after each reply would take count seconds.
        self.assertLess(ids[-1] - ids[0], count * INTERVAL_S / 2)


class EchoLine:
    """A pseudo-terminal whose far end sends every byte back. A child process
    holds the slave as its controlling terminal (wineserver wants one when the
    line closes); this process echoes on the master."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty = termios.tcgetattr(slave)
        tty[0] = tty[1] = tty[3] = 0  # raw: no input, output or local processing
        termios.tcsetattr(slave, termios.TCSANOW, tty)
        self.port = os.ttyname(slave)
        self.child = os.fork()
        if self.child == 0:
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
            signal.pause()
            os._exit(0)
        os.close(slave)
        self.running = True
        self.thread = threading.Thread(target=self._echo, daemon=True)
        self.thread.start()

    def _echo(self):
        while self.running:
            if select.select([self.master], [], [], 0.1)[0]:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    continue
                os.write(self.master, data)

    def close(self):
        self.running = False
        self.thread.join()
        os.kill(self.child, signal.SIGTERM)
        os.waitpid(self.child, 0)
        os.close(self.master)


@unittest.skipUnless(harness.UNDER_WINE, "only the Windows build, under Wine, has these")
class WindowsBuild(unittest.TestCase):
    def setUp(self):
        self.dir = harness.scratch_dir("win")

    def check_program(self):
        path = os.path.join(os.path.dirname(os.path.abspath(harness.FLINT)), "win_platform_check.exe")
        if not os.path.exists(path):
            self.skipTest("win_platform_check.exe was not built beside flint.exe")
        return path

    def test_console_text_is_not_held_back_behind_errors_or_a_child(self):
        proc = subprocess.run([harness.WINE, self.check_program(), "--console"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=dict(os.environ, **harness.wine_env()),
                              cwd=self.dir, timeout=RUN_TIMEOUT_S)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(proc.stdout.decode(errors="replace").replace("\r", ""),
                         "partial error\nbefore child\nafter\n")

    def test_platform_layer_checks(self):
        """Folders, the program's path, libraries, the command interpreter, and
        a port: 8N1 without flow control as Win32 reports it, the time-out
        record, all 256 byte values through an echo, purge."""
        check = self.check_program()
        line = EchoLine()
        try:
            port = flint_port(line)
            proc = subprocess.run([harness.WINE, check, port], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  env=dict(os.environ, **harness.wine_env()), cwd=self.dir,
                                  timeout=RUN_TIMEOUT_S)
        finally:
            line.close()
        out = proc.stdout.decode(errors="replace").replace("\r", "")
        self.assertEqual(proc.returncode, 0, out)
        self.assertNotIn("FAIL", out)
        self.assertIn("ok all byte values pass unchanged\n", out)

    def test_a_com_port_of_the_prefix_opens_and_an_unmapped_one_fails(self):
        if not harness.VMODULE:
            self.skipTest("VMODULE is not set: no virtual module to talk to")
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            self.assertRegex(port, r"^COM\d+$")
            rc, out = run_flint(["-i"], shell_script("connect %s" % port, *LOADER_LINES, "flashid",
                                                     "disconnect", "connect COM99"), cwd=self.dir)
        self.assertEqual(rc, 0, out)
        parts = harness.split_at_prompts(out)
        self.assertEqual(parts[1], "Connecting %s at 115200 OK...\n-OK-\n" % port)
        self.assertRegex(parts[3], r"RDID\(JEDEC\) = [0-9A-F]+\n-OK-\n$")
        self.assertEqual(parts[5], "Connecting COM99 at 115200 Fail...\n-ERR: -1-\n")

    def test_the_usb_simulation_socket_does_not_exist_on_windows(self):
        device = "sim:" + os.path.join(self.dir, "usb.sock")
        rc, out = run_flint(["-i"], "connect usb\nver\n", cwd=self.dir, env={"FLINT_USB_DEVICE": device})
        self.assertEqual(rc, 0, out)
        parts = harness.split_at_prompts(out)
        self.assertEqual(parts[1], 'FLINT_USB_DEVICE "%s": the virtual module\'s socket is not available on '
                         "this platform; name the USB device as VID:PID\n" % device
                         + "usb port open failed\nConnecting usb failed\n-ERR: -1-\n")
        self.assertEqual(parts[2], harness.VERSION + "\n-OK-\n")
        self.assertEqual(parts[3], "Quit\n")

    def test_a_usb_device_is_looked_for_by_the_linked_libusb(self):
        """libusb's Windows backend starts inside flint.exe, lists the
        devices, finds none with the VID:PID and is closed again (its debug
        log, on standard error, shows each step)."""
        rc, out = run_flint(["-i"], "connect usb\n", cwd=self.dir,
                            env={"FLINT_USB_DEVICE": "0000:0000", "LIBUSB_DEBUG": "4"})
        self.assertEqual(rc, 0, out)
        for step in ["[libusb_init]", "[libusb_get_device_list]", "[libusb_exit]"]:
            self.assertIn(step, out)
        self.assertNotRegex(out, r"libusb: error ")
        self.assertTrue(out.endswith("usb port open failed\nConnecting usb failed\n-ERR: -1-\n"
                                     + PROMPT + "Quit\n"), out)


if __name__ == "__main__":
    unittest.main()
