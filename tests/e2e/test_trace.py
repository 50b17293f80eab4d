"""The byte trace (FLINT_TRACE) of the real flint binary: a shell session over
the serial link shows every byte of the virtual module's own log in order, a
USB session the same, an SWD session every probe call the simulated probe saw;
unset, nothing is written; a file that cannot be opened is reported and the
run goes on."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import simprobe_harness  # noqa: E402
from harness import VModule, flint_port, flint_shell  # noqa: E402

TRACE_LINE = re.compile(r"^(\d+\.\d{3}) (tx|rx|--) (serial|usb|swd|flint) (\S+)(?: (.*))?$")
MODULE_LINE = re.compile(r"^\d+\.\d+ (rx|tx) (?:hci|loader|usb) (\S+)((?: [0-9a-f]{2})*)$")


def pattern(n, seed):
    return bytes((seed * 29 + i * 7 + (i >> 8)) & 0xFF for i in range(n))


def host_path(path):
    return simprobe_harness.host_path(path)


def read_trace(path):
    """[(ms, dir, link, rate, rest)] of a trace file; fails on a line of
    another form."""
    out = []
    with open(path) as f:
        for line in f:
            m = TRACE_LINE.match(line.rstrip("\n"))
            if m is None:
                raise AssertionError("not a trace line: %r" % line)
            out.append((float(m.group(1)), m.group(2), m.group(3), m.group(4), m.group(5) or ""))
    return out


def runs(records):
    """Consecutive records of one direction joined: [(dir, bytes)]. Both
    sides cut the stream differently (a header read, then the rest), the
    order of directions and the bytes are what must agree."""
    out = []
    for direction, data in records:
        if out and out[-1][0] == direction:
            out[-1] = (direction, out[-1][1] + data)
        else:
            out.append((direction, data))
    return out


def trace_transfers(trace, link):
    """The trace's transfers as the module names them: flint's tx is what the
    module received (rx)."""
    flip = {"tx": "rx", "rx": "tx"}
    return runs([(flip[d], bytes.fromhex(rest)) for _ms, d, l, _rate, rest in trace
                 if l == link and d in flip])


def module_transfers(vm):
    records = []
    for line in vm.log_text().splitlines():
        m = MODULE_LINE.match(line)
        if m:
            records.append((m.group(1), bytes.fromhex(m.group(3))))
    return runs(records)


def module_rates(vm):
    """The module's rate of every request it received, in order."""
    return [m.group(2) for m in map(MODULE_LINE.match, vm.log_text().splitlines()) if m and m.group(1) == "rx"]


class TraceCase(harness.Scratch, unittest.TestCase):
    def setUp(self):
        self.dir = harness.scratch_dir("trace")
        self.fw = os.path.join(self.dir, "fw")
        harness.make_fw_dir(self.fw)
        self.trace = os.path.join(self.dir, "flint.trace")


class SerialAndUsb(TraceCase):
    def test_serial_session_shows_every_byte_of_the_module_log_in_order(self):
        app = pattern(20000, 1)
        app_path = self.write("app.bin", app)
        # Under Wine a non-standard rate becomes 38400: the session stays at 115200 there.
        fast = [] if harness.UNDER_WINE else ["setbaudrate 1000000"]
        with VModule() as vm:
            port = flint_port(vm)
            lines = ["connect %s" % port, "loadfw --autodetect %s 1" % host_path(self.fw)] + fast + [
                "pageerase 0x802000 0x5000", "program %s 0x802000" % host_path(app_path),
                "flashverify %s 0x802000" % host_path(app_path), "flashread 0x802000 0x40", "disconnect"]
            status, out = flint_shell(lines, env={"FLINT_TRACE": host_path(self.trace)})
            self.assertEqual(status, 0, out)
            self.assertEqual(out.count("-OK-"), len(lines), out)
            self.assertEqual(vm.read_iflash(0x802000, len(app)), app)
            trace = read_trace(self.trace)
            want = module_transfers(vm)
            rates = module_rates(vm)
        self.assertGreater(sum(len(d) for _dir, d in want), len(app))
        self.assertEqual(trace_transfers(trace, "serial"), want)
        # The rate column of each request is the rate the module received it at.
        self.assertEqual([r for _ms, d, l, r, _rest in trace if l == "serial" and d == "tx"], rates)
        if fast:
            self.assertIn("1000000", rates)
        # One header line per run, times that never go back.
        self.assertRegex(trace[0][4], r"^trace of flint %s, process \d+, started " % re.escape(harness.VERSION))
        times = [t[0] for t in trace]
        self.assertEqual(times, sorted(times))

        # A second run appends behind the first, with its own header line.
        with VModule() as vm:
            status, out = flint_shell(["connect %s" % flint_port(vm), "disconnect"],
                                      env={"FLINT_TRACE": host_path(self.trace)})
        again = read_trace(self.trace)
        self.assertEqual(again[:len(trace)], trace)
        self.assertEqual(sum(1 for t in again if t[2] == "flint"), 2)

    @unittest.skipIf(harness.UNDER_WINE, "the virtual module's USB socket is a Linux socket")
    def test_usb_session_shows_every_message(self):
        app_path = self.write("app.bin", pattern(9000, 2))
        with VModule(usb=True) as vm:
            env = dict(vm.usb_env, FLINT_TRACE=self.trace)
            status, out = flint_shell(["connect usb", "pageerase 0x802000 0x3000",
                                       "program %s 0x802000" % app_path, "flashread 0x802000 0x10",
                                       "disconnect"], env=env)
            self.assertEqual(out.count("-OK-"), 5, out)
            want = module_transfers(vm)
        trace = read_trace(self.trace)
        self.assertTrue(all(r == "-" for _ms, _d, l, r, _rest in trace if l == "usb"))
        self.assertEqual(trace_transfers(trace, "usb"), want)

    def test_unset_writes_nothing_and_an_unusable_file_is_reported(self):
        cases = [
            (None, None),
            ("", None),
            (host_path(os.path.join(self.dir, "no-such-folder", "flint.trace")),
             "FLINT_TRACE=%s cannot be opened for appending: no trace is written\n"),
        ]
        for value, message in cases:
            with self.subTest(value=value), VModule() as vm:
                port = flint_port(vm)
                status, out = flint_shell(["connect %s" % port, "disconnect", "connect %s" % port],
                                          cwd=self.dir, env={"FLINT_TRACE": value})
                self.assertEqual(out.count("-OK-"), 3, out)
                if message:
                    self.assertEqual(out.count(message % value), 1, out)
                else:
                    self.assertNotIn("FLINT_TRACE", out)
                self.assertEqual(sorted(os.listdir(self.dir)), ["fw"])


@unittest.skipUnless(simprobe_harness.SIMPROBE, "SIMPROBE is not set")
class Swd(unittest.TestCase):
    def test_every_probe_call_with_its_arguments_result_and_bytes(self):
        st = simprobe_harness.Station()
        loader = pattern(4096, 3)
        app = pattern(0x1100, 4)
        loader_path = st.write("loader.bin", loader)
        app_path = st.write("app.bin", app)
        trace_path = st.path("flint.trace")
        saved = harness.FLINT
        harness.FLINT = st.flint
        try:
            env = dict(st.env(), FLINT_TRACE=host_path(trace_path))
            status, out = harness.run_flint(
                ["-i"], harness.shell_script("connect swd 4000", "loadfw %s KVL4410C_A 1" % host_path(loader_path),
                                             "pageerase 0x802000 0x2000",
                                             "program %s 0x802000" % host_path(app_path),
                                             "flashread 0x802000 0x10", "disconnect"),
                cwd=st.dir, env=env)
        finally:
            harness.FLINT = saved
        self.assertEqual(out.count("-OK-"), 6, out)
        trace = [t for t in read_trace(trace_path) if t[2] == "swd"]
        calls = st.entry_calls()
        # The same calls in the same order as the probe library logged them.
        self.assertEqual([t[4].split("(")[0] for t in trace], [c.name for c in calls])
        self.assertEqual(trace[0][3], "-")
        self.assertEqual(trace[-1][3], "4000kHz")
        self.assertIn("JLINKARM_SetSpeed(4000)", [t[4] for t in trace])
        writes = [t for t in trace if t[4].startswith("JLINKARM_WriteMem(")]
        self.assertTrue(all(t[1] == "tx" for t in writes))
        # The loader's bytes, then a program request with its header and the image.
        self.assertEqual(writes[0][4], "JLINKARM_WriteMem(0x00200000, 4096) = 4096: " +
                         " ".join("%02x" % b for b in loader))
        program = [bytes.fromhex(t[4].split(": ", 1)[1]) for t in writes
                   if t[4].split(": ", 1)[1].startswith("03 00 00 00")]
        self.assertEqual(program[0][12:], app)
        regs = [t[4] for t in trace if t[4].startswith("JLINKARM_WriteReg(")]
        self.assertEqual(len(regs), 3)
        reads = [t for t in trace if t[4].startswith("JLINKARM_ReadMem(")]
        self.assertEqual(reads[-1][1], "rx")
        self.assertTrue(reads[-1][4].endswith(": " + " ".join("%02x" % b for b in app[:0x10])))


if __name__ == "__main__":
    unittest.main()
