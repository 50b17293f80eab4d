"""Run records and live events: one-shot runs of the real flint against the
virtual module with FLINT_RECORD and FLINT_EVENTS set. Each record is read
from the file the run left and checked against what the run printed, the
files it was given (sha256 of their bytes) and the exit code; each fault
gets the class of where it was met."""
import hashlib
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import simprobe_harness  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402
from test_oneshot import Station, local_path  # noqa: E402
from test_oneshot_guards import packed_bytes, script_lines  # noqa: E402

APP_ADDR = 0x802000
RECORD_KEYS = {"schema", "flint_version", "start", "end", "duration_ms", "host", "pid", "command_line",
               "working_directory", "port", "baud", "program_mode", "program_mode_source", "images",
               "job_files", "packed_image", "efuse_file", "loader", "device_address", "lines",
               "exit_code", "verdict", "failure"}
# Waiting for the run to reach its program line before it is interrupted.
PROGRAM_WAIT_S = 60


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def signed(rc):
    """A Linux exit status as the signed 8-bit value flint returned."""
    return rc - 256 if rc > 127 else rc


class RecordStation(Station):
    """A station whose runs leave their record and events in its folder."""

    def setUp(self):
        super().setUp()
        self.record = self.path("record.jsonl")
        self.events = self.path("events.jsonl")
        self.env = {"FLINT_RECORD": self.record, "FLINT_EVENTS": self.events}

    def records(self):
        with open(self.record) as f:
            return [json.loads(line) for line in f.read().splitlines()]

    def event_list(self):
        with open(self.events) as f:
            return [json.loads(line) for line in f.read().splitlines()]

    def one_record(self, rc, out):
        records = self.records()
        self.assertEqual(len(records), 1, out)
        r = records[0]
        self.assertEqual(set(r), RECORD_KEYS)
        self.assertEqual(signed(rc), r["exit_code"], out)
        self.assertEqual(r["verdict"], "pass" if rc == 0 else "fail")
        self.assertEqual(r["failure"] is None, rc == 0)
        script = [line for line in r["lines"] if line["phase"] == "script"]
        self.assertEqual([line["text"] for line in script], script_lines(out))
        self.assertEqual([line["number"] for line in script], list(range(len(script))))
        return r

    def run_app(self, fault=None, size=40000, extra=()):
        app = self.write("app.bin", pattern(size, 3))
        args = MODULE_ARGS + (["--fault", fault] if fault else [])
        with VModule(args) as vm:
            port = flint_port(vm)
            rc, out = self.flint(["-c", port, "-e", "-p", "-v", "-A", "0x%X" % APP_ADDR, "-S", "0x10000",
                                  "-F", "app.bin", *extra], env=self.env)
            held = vm.read_iflash(APP_ADDR, size) == pattern(size, 3)
        return rc, out, held, app, port


class Records(RecordStation):
    def test_a_passing_run_describes_its_image_loader_lines_and_events(self):
        rc, out, held, app, port = self.run_app()
        self.assertEqual(rc, 0, out)
        self.assertTrue(held)
        r = self.one_record(rc, out)
        self.assertEqual((r["port"], r["baud"], r["program_mode"], r["program_mode_source"]),
                         (port, "1000000", 1, "detected"))
        self.assertEqual([(line["phase"], line["text"]) for line in r["lines"][:2]],
                         [("detection", "connect %s" % port), ("detection", r["lines"][1]["text"])])
        self.assertTrue(r["lines"][1]["text"].startswith("read_efuse "))
        image, = r["images"]
        data = pattern(40000, 3)
        self.assertEqual(image, {"path": "app.bin", "address": "0x802000", "payload_length": 40000,
                                 "payload_sha256": hashlib.sha256(data).hexdigest(),
                                 "file_sha256": sha256(app), "verify_crc16": "0x%04X" % harness.crc16(data),
                                 "kind": "ordinary"})
        loader = os.path.join(self.fw, "KVL4420B_FW_V3.bin")
        # The file as flint named it (a Windows path under Wine): checked as a path below.
        self.assertEqual({k: v for k, v in r["loader"].items() if k != "file"},
                         {"size": 4096, "sha256": sha256(loader), "chip_signature": "0x215DF640"})
        self.assertEqual(os.path.realpath(local_path(r["loader"]["file"])), os.path.realpath(loader))
        self.assertIsNone(r["device_address"])
        self.assertTrue(all(line["result"] == 0 and line["attempts"] == 1 for line in r["lines"]))
        self.assertEqual(r["command_line"][1:], ["-c", port, "-e", "-p", "-v", "-A", "0x802000", "-S",
                                                 "0x10000", "-F", "app.bin"])
        self.assertEqual(os.path.realpath(local_path(r["working_directory"])), os.path.realpath(self.dir))
        self.assertEqual(r["pid"], self.events_check(r))

    def events_check(self, r):
        """The events of a run: run_start first, run_end last, a start and an end
        for every line, progress steps ending at their total. The pid."""
        events = self.event_list()
        self.assertEqual(events[0]["event"], "run_start")
        self.assertEqual(events[-1], dict(events[-1], event="run_end", exit_code=r["exit_code"],
                                          verdict=r["verdict"]))
        starts = [(e["phase"], e["line"], e["text"]) for e in events if e["event"] == "line_start"]
        self.assertEqual(starts, [(line["phase"], line["number"], line["text"]) for line in r["lines"]])
        self.assertEqual(len([e for e in events if e["event"] == "line_end"]), len(starts))
        steps = {}
        for e in events:
            if e["event"] == "progress":
                steps.setdefault((e["line"], e["step"]), []).append((e["done"], e["total"]))
        self.assertEqual({step for _, step in steps}, {"loader", "erase", "program", "verify"})
        for step, points in steps.items():
            self.assertEqual(points[-1][0], points[-1][1], step)
            self.assertEqual([d for d, _ in points], sorted(d for d, _ in points), step)
        return events[0]["pid"]

    def test_the_device_address_line_that_ran_and_its_result(self):
        # The module's configuration region is empty: addmac has nothing to
        # write the address into.
        rc, out, held, _, _ = self.run_app(extra=["-x", "00:11:22:33:44:55"])
        self.assertNotEqual(rc, 0)
        self.assertTrue(held)
        r = self.one_record(rc, out)
        addmac = script_lines(out).index("addmac 00:11:22:33:44:55 0x801000")
        self.assertEqual(r["device_address"], {"text": "00:11:22:33:44:55", "source": "option",
                                               "line": addmac, "ran": True, "result": -1})
        self.assertEqual((r["failure"]["class"], r["failure"]["line"]), ("module", addmac))

    def test_each_fault_kind_gets_the_class_where_it_was_met(self):
        cases = [
            ("1032:status=5:0:0", "module", "program app.bin 0x802000"),
            ("1032:silence:0:0", "link", "program app.bin 0x802000"),
            ("1032:short=3:0:0", "link", "program app.bin 0x802000"),
            ("1032:badcrc:0:0", "link", "program app.bin 0x802000"),
            ("1032:garbage=4:0:0", "link", "program app.bin 0x802000"),
            ("1050:status=1:0:0", "verify", "flashverify app.bin 0x802000"),
        ]
        for fault, cls, text in cases:
            with self.subTest(fault=fault):
                if os.path.exists(self.record):
                    os.remove(self.record)
                rc, out, held, _, _ = self.run_app(fault)
                self.assertNotEqual(rc, 0, out)
                r = self.one_record(rc, out)
                self.assertEqual((r["failure"]["class"], r["failure"]["text"]), (cls, text), out)
                failed = [line for line in r["lines"] if line["text"] == text][0]
                self.assertEqual(r["failure"]["line"], failed["number"])
                if cls == "verify":
                    self.assertEqual(failed["attempts"], 6)
                    self.assertEqual(r["failure"]["message"], "Retry Counter OVERFLOW")
                else:
                    self.assertEqual(r["failure"]["message"], "Executing %s fails" % text)

    def test_failures_before_any_line(self):
        cases = [
            ("a missing image", ["-c", "/dev/null", "-M", "1", "-p", "-A", "0x802000", "-F", "missing.bin"],
             "input", "open missing.bin fails"),
            ("a refused combination", ["-c", "COM6", "-s", "-p", "-A", "0", "-S", "1", "-F", "x.bin"], "usage",
             "it doesn't support to use -s with -p and -v enabled to avoid overwritting the original binary!"),
            ("no connection", ["-e"], "usage", "please configure connect information by -f or -c!"),
            ("a job file that is missing", ["-f", "nojob.json", "-a"], "input", None),
        ]
        for what, args, cls, message in cases:
            with self.subTest(what):
                if os.path.exists(self.record):
                    os.remove(self.record)
                rc, out = self.flint(args, env=self.env)
                r = self.one_record(rc, out)
                self.assertEqual((r["exit_code"], r["failure"]["class"], r["failure"]["line"]), (-1, cls, None))
                if message:
                    self.assertEqual(r["failure"]["message"], message)

    def test_a_port_that_does_not_exist_is_a_link_failure(self):
        rc, out = self.flint(["-c", "/dev/no-such-port", "-M", "1", "-e", "-A", "0x802000", "-S", "0x1000"],
                             env=self.env)
        r = self.one_record(rc, out)
        self.assertEqual((r["failure"]["class"], r["failure"]["text"]), ("link", "connect /dev/no-such-port"))

    def test_no_record_for_help_version_and_the_shell(self):
        for args in (["-h"], ["-V"], ["-i"]):
            rc, _ = self.flint(args, env=self.env)
            self.assertEqual(rc, 0)
        self.assertFalse(os.path.exists(self.record))

    def test_sixteen_runs_appending_at_once_leave_sixteen_whole_lines(self):
        args = ["-c", "/dev/no-such-port", "-M", "1", "-e", "-A", "0x802000", "-S", "0x1000", "-F",
                "x" * 3000]
        with ThreadPoolExecutor(16) as pool:
            results = list(pool.map(lambda _: self.flint(args, env={"FLINT_RECORD": self.record}), range(16)))
        self.assertTrue(all(rc != 0 for rc, _ in results))
        records = self.records()
        self.assertEqual(len(records), 16)
        self.assertEqual(len({r["pid"] for r in records}), 16)

    @unittest.skipIf(harness.UNDER_WINE, "a Windows program inherits handles, not the descriptors of a pipe")
    def test_events_to_an_inherited_descriptor(self):
        read_end, write_end = os.pipe()
        env = dict(os.environ, FLINT_EVENTS="fd:%d" % write_end)
        proc = subprocess.Popen([self.program, "-c", "/dev/no-such-port", "-M", "1", "-r"], cwd=self.dir,
                                env=env, pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            events = [json.loads(line) for line in f.read().splitlines()]
        self.assertNotEqual(proc.wait(), 0)
        self.assertEqual([e["event"] for e in events],
                         ["run_start"] + ["line_start", "line_end"] * 2 + ["run_end"])
        self.assertEqual(events[-1]["class"], "link")


class SwdRecords(RecordStation):
    """One-shot runs over SWD, the simulated probe library beside flint:
    each probe fault gets the class of where the run met it. A one-shot run
    reads the chip's signature over HCI, which SWD does not carry, so it
    never starts the loader: in mode 4 (no loader download) its first
    mailbox request stays unserved and reads back a non-zero status, and
    the faults of a running loader (status=N) or of the download
    (reg-refused) are never met."""

    @classmethod
    def setUpClass(cls):
        if not simprobe_harness.SIMPROBE:
            raise unittest.SkipTest("SIMPROBE is not set: no simulated probe library")

    def run_swd(self, mode, fault, with_probe=True):
        library = self.path(os.path.basename(simprobe_harness.SIMPROBE))
        if with_probe and not os.path.exists(library):
            shutil.copy(simprobe_harness.SIMPROBE, library)
        if not with_probe and os.path.exists(library):
            os.remove(library)
        self.write("app.bin", pattern(3000, 5))
        env = dict(self.env, SIMPROBE_FAULT=fault, SIMPROBE_FLASH=simprobe_harness.host_path(self.path("flash.bin")),
                   SIMPROBE_LOG=simprobe_harness.host_path(self.path("probe.log")))
        return self.flint(["-c", "swd", "-M", str(mode), "-e", "-p", "-v", "-A", "0x802000", "-S", "0x1000",
                           "-F", "app.bin"], env=env)

    def test_each_probe_fault_gets_the_class_where_it_was_met(self):
        connect = "connect swd 2000000"
        erase = "pageerase 0x802000 0x1000"
        rows = [
            # what, mode, probe fault, exit code, class, failing line
            ("no probe library", 4, None, -5, "link", connect),
            ("no probe", 4, "no-probe", -1, "link", connect),
            ("probe refuses to open", 4, "open-refused", -2, "link", connect),
            ("device refused", 4, "device-refused", -3, "link", connect),
            ("no target", 4, "no-target", -4, "link", connect),
            ("halt refused", 4, "halt-refused", 1, "link", erase),
            ("short mailbox write", 4, "short-write=4", -8, "link", erase),
            ("unserved mailbox", 4, "", 4, "module", erase),
            ("loader status", 4, "status=3", 4, "module", erase),
            ("register refused", 4, "reg-refused=15", 4, "module", erase),
            ("signature read gets no answer", 1, "", -3, "link", "loadfw --autodetect %s 1" % self.loader_dir),
            ("HCI mode has no loader to give", 0, "", -1, "usage", "loadfw --autodetect %s 0" % self.loader_dir),
            ("no baud rate on SWD", 2, "", -1, "usage", "setbaudrate 1000000"),
        ]
        for what, mode, fault, code, cls, text in rows:
            with self.subTest(what):
                if os.path.exists(self.record):
                    os.remove(self.record)
                rc, out = self.run_swd(mode, fault or "", with_probe=fault is not None)
                r = self.one_record(rc, out)
                self.assertEqual((r["exit_code"], r["failure"]["class"], r["failure"]["text"]), (code, cls, text), out)
                self.assertEqual(r["failure"]["message"], "Executing %s fails" % text)
                self.assertEqual(r["failure"]["line"], script_lines(out).index(text))


@unittest.skipIf(harness.UNDER_WINE, "signals reach a Windows program under Wine as no console event")
class Interrupts(RecordStation):
    """SIGINT or SIGTERM in the middle of program: the run stops before its
    next request, writes its record with class interrupted, ends non-zero
    and leaves no temporary folder behind."""

    def interrupt_during_program(self, args, sig):
        # Every program answer comes a second late: the run is still in
        # its program line when the signal comes.
        with VModule(MODULE_ARGS + ["--fault", "1032:late=1000:0:0"]) as vm:
            port = flint_port(vm)
            proc = subprocess.Popen([self.program, "-c", port, "-M", "1"] + args, cwd=self.dir,
                                    env=dict(os.environ, **self.env), stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
            seen = b""
            deadline = time.monotonic() + PROGRAM_WAIT_S
            while (b"send write command!" not in seen.partition(b"] program ")[2]
                   and time.monotonic() < deadline):
                ready, _, _ = select.select([proc.stdout], [], [], 1)
                if ready:
                    seen += os.read(proc.stdout.fileno(), 4096)
            proc.send_signal(sig)
            rest, _ = proc.communicate(timeout=60)
            out = (seen + rest).decode(errors="replace")
            log = vm.log_text()
        self.assertNotEqual(proc.returncode, 0, out)
        r = self.one_record(proc.returncode, out)
        self.assertEqual(r["failure"]["class"], "interrupted", out)
        self.assertTrue(r["failure"]["text"].startswith("program "), r["failure"])
        self.assertNotIn("CMD[%d] disconnect" % (len(script_lines(out))), out)
        return out, log

    def test_sigint_and_sigterm_in_the_middle_of_program(self):
        self.write("app.bin", pattern(0x10000, 4))
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig=sig):
                if os.path.exists(self.record):
                    os.remove(self.record)
                out, log = self.interrupt_during_program(
                    ["-e", "-p", "-v", "-A", "0x802000", "-S", "0x10000", "-F", "app.bin"], sig)
                # Four pieces of 16384 bytes: the run stopped before it sent them all.
                program = out.partition("] program ")[2].partition("CMD[")[0]
                self.assertLess(program.count("send write command!"), 4, out)

    def test_an_interrupted_packed_run_removes_its_folder(self):
        self.write("packed.bin", packed_bytes([(0x802000, pattern(0x10000, 5)), (0x820000, pattern(300, 6))]))
        out, _ = self.interrupt_during_program(["-P", "packed.bin"], signal.SIGTERM)
        folder = out.split("Temp dir: ", 1)[1].split("\n", 1)[0]
        self.assertFalse(os.path.exists(local_path(folder)), folder)
        self.assertEqual(self.records()[0]["packed_image"],
                         {"path": "packed.bin", "sha256": sha256(self.path("packed.bin"))})


# A drawing of the progress line, and its erasure.
PROGRESS_DRAWN = re.compile(r"\r[^\r\n]*\x1b\[K")


class ProgressLine(Station):
    """On a terminal a long step shows one line updated in place, erased
    before the next output: without it the text is the run's usual text."""

    def run_slow(self, env, terminal):
        self.write("app.bin", pattern(0x10000, 9))
        with VModule(MODULE_ARGS + ["--fault", "1032:late=600:0:0"]) as vm:
            args = ["-c", vm.port, "-M", "1", "-e", "-p", "-A", "0x802000", "-S", "0x10000", "-F", "app.bin"]
            if terminal:
                rc, out = harness.run_on_terminal([self.program] + args, self.dir, env)
                out = out.replace("\r\n", "\n")
            else:
                rc, out = self.flint(args, env=env)
            return rc, out.replace(vm.port, "PORT")

    def test_the_line_shows_on_a_terminal_and_leaves_the_text_as_it_is(self):
        if harness.UNDER_WINE:
            self.skipTest("the Windows console shows no progress line")
        rc, shown = self.run_slow({}, True)
        self.assertEqual(rc, 0, shown)
        drawings = [d for d in PROGRESS_DRAWN.findall(shown) if d != "\r\x1b[K"]
        self.assertTrue(drawings, shown)
        self.assertRegex(drawings[-1], r"^\rprogram 0x802000  \d+ / 65536 bytes  \d+ %  [0-9.]+ KiB/s\x1b\[K$")
        rc_piped, piped = self.run_slow({}, False)
        self.assertEqual(rc_piped, 0)
        self.assertEqual(PROGRESS_DRAWN.sub("", shown), piped)
        rc_off, off = self.run_slow({"FLINT_PROGRESS": "0"}, True)
        self.assertEqual(rc_off, 0)
        self.assertEqual(off.replace("\r\n", "\n"), piped)


class GangStatusLines(RecordStation):
    """flint-gang on a terminal shows each child's step and percent, read
    from the events its flint writes into its temporary folder."""

    def test_a_slot_shows_its_step_and_percent(self):
        gang = os.environ.get("FLINT_GANG", "")
        if not gang or harness.UNDER_WINE:
            self.skipTest("FLINT_GANG is not set")
        shutil.copy(gang, self.path("flint-gang"))
        self.write("app.bin", pattern(0x10000, 8))
        # Program answers come late: the program step lasts long enough to be seen.
        with VModule(MODULE_ARGS + ["--fault", "1032:late=600:0:0"]) as vm:
            code, text = harness.run_on_terminal([self.path("flint-gang"), "-c", vm.port, "-M", "1", "-e", "-p", "-v",
                                                  "-A", "0x802000", "-S", "0x10000", "-F", "app.bin", "--logs", "."],
                                                 self.dir)
        self.assertEqual(code, 0, text)
        percents = [int(p) for p in re.findall(r"\x1b\[K\S+ +program 0x802000 +(\d+)% ", text)]
        self.assertTrue(percents, text)
        self.assertTrue(any(0 < p < 100 for p in percents), percents)
        self.assertEqual(percents, sorted(percents))


if __name__ == "__main__":
    unittest.main()
