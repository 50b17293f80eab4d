"""flint-gang end to end: the real flint-gang, first with a stand-in flint
(a script that prints, sleeps and ends as told) for the logs, the summary, the
exit code, Ctrl-C and the per-port settings, then with the real flint against
several virtual modules, some of which inject faults."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402

FLINT_GANG = os.environ.get("FLINT_GANG", "")


def place_gang_with_flint(folder):
    """Copies flint and flint-gang into the folder with a fw folder beside them, for
    one-shot runs against virtual modules; returns the gang's path."""
    for exe in (harness.FLINT, FLINT_GANG):
        shutil.copy(exe, os.path.join(folder, os.path.basename(exe)))
    harness.make_fw_dir(os.path.join(folder, "fw"))
    return os.path.join(folder, os.path.basename(FLINT_GANG))


def place_gang_with_stand_in(folder, script):
    """Copies flint-gang into the folder with a stand-in flint (a shell script) beside
    it; returns the gang's path."""
    gang = os.path.join(folder, "flint-gang")
    shutil.copy(FLINT_GANG, gang)
    with open(os.path.join(folder, "flint"), "w") as f:
        f.write(script)
    os.chmod(os.path.join(folder, "flint"), 0o755)
    return gang
SUMMARY_LINE = re.compile(r"^(\S+)\s+(\S+(?: \S+)?)\s+(\d+\.\d)\s+(\S+)$")

# A stand-in for flint: prints its arguments and settings on both streams,
# then behaves as the port's entry in $FAKE_PLAN says ("exit:N", "sleep").
FAKE_FLINT = r'''#!/bin/sh
port=""; prev=""
for a in "$@"; do [ "$prev" = "-c" ] && port="$a"; prev="$a"; done
echo "$$" >> "$FAKE_PIDS"
echo "flint $* (port $port)"
echo "temp $TMPDIR" >&2
echo "trace ${FLINT_TRACE:-none}"
for entry in $FAKE_PLAN; do
  case "$entry" in
    "$port="*) what="${entry#*=}" ;;
  esac
done
case "$what" in
  exit:*) sleep 0.3; echo "ending with ${what#exit:}" >&2; exit "${what#exit:}" ;;
  sleep) exec sleep 60 ;;
esac
echo "done $port"
exit 0
'''


def host_path(path):
    """A path as the program under test sees it (Wine: the Z: drive)."""
    return "Z:" + path if harness.UNDER_WINE else path


def run_gang(args, cwd, env=None, timeout=300, program=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    cmd = [program or FLINT_GANG] + list(args)
    if harness.UNDER_WINE:
        full_env.update(harness.wine_env())
        cmd = [harness.WINE] + cmd
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, env=full_env,
                          timeout=timeout)
    return (proc.returncode, proc.stdout.decode(errors="replace").replace("\r", ""),
            proc.stderr.decode(errors="replace").replace("\r", ""))


def summary(out):
    """{port: (result, seconds, log)} from the summary table."""
    lines = out.split("\nport ", 1)[1].splitlines()[1:]
    rows = {}
    for line in lines:
        m = SUMMARY_LINE.match(line)
        if m:
            rows[m.group(1)] = (m.group(2), float(m.group(3)), m.group(4))
    return rows


def read_pids(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [int(p) for p in f.read().split()]


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is no child left behind: it has ended.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def wait_for(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def make_unwritable(case, folder):
    """No file can be made in the folder: without write permission, or for
    root (whom permissions do not stop) immutable."""
    os.chmod(folder, 0o555)
    case.addCleanup(os.chmod, folder, 0o755)
    if os.geteuid() == 0:
        if subprocess.run(["chattr", "+i", folder], stderr=subprocess.DEVNULL).returncode != 0:
            case.skipTest("root cannot make a folder unwritable here (chattr +i)")
        case.addCleanup(subprocess.run, ["chattr", "-i", folder])


class GangCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not FLINT_GANG:
            raise unittest.SkipTest("FLINT_GANG is not set")

    def setUp(self):
        self.dir = harness.scratch_dir("gang")


@unittest.skipIf(harness.UNDER_WINE, "the stand-in flint is a shell script")
class WithStandIn(GangCase):
    def setUp(self):
        super().setUp()
        self.gang = place_gang_with_stand_in(self.dir, FAKE_FLINT)
        self.pids = os.path.join(self.dir, "pids")

    def env(self, plan, **more):
        env = {"FAKE_PLAN": " ".join("%s=%s" % kv for kv in plan.items()), "FAKE_PIDS": self.pids}
        env.update(more)
        return env

    def log(self, name):
        with open(os.path.join(self.dir, "logs", name)) as f:
            return f.read()

    def test_logs_summary_and_the_number_of_failed_modules(self):
        plan = {"COM6": "ok", "COM7": "exit:1", "/dev/pts/99": "exit:255", "COM9": "ok"}
        rc, out, err = run_gang(["-c", "COM6,COM7,/dev/pts/99,COM9", "-e", "-A", "0x802000", "-S", "4096",
                                 "-x", "00:00:00:00:00:01,00:00:00:00:00:02,00:00:00:00:00:03,00:00:00:00:00:04",
                                 "--logs", "logs"],
                                cwd=self.dir, env=self.env(plan), program=self.gang)
        self.assertEqual(rc, 2, out + err)
        self.assertEqual(err, "")
        rows = summary(out)
        self.assertEqual({p: r[0] for p, r in rows.items()},
                         {"COM6": "0", "COM7": "1", "/dev/pts/99": "255", "COM9": "0"})
        self.assertEqual(rows["/dev/pts/99"][2], "logs/dev_pts_99.log")
        self.assertTrue(out.endswith("flint-gang: 4 modules, 2 passed, 2 failed\n"), out)
        # Not a terminal: one status line per port as it ends, before the summary.
        status = out.split("\n\nport", 1)[0].splitlines()
        self.assertEqual(len(status), 4)
        self.assertRegex(status[-1], r"^COM7 +failed \(exit 1\) +0\.\d s$|^/dev/pts/99 +failed \(exit 255\)")
        temps = set()
        for n, (port, name) in enumerate([("COM6", "COM6"), ("COM7", "COM7"), ("/dev/pts/99", "dev_pts_99"),
                                          ("COM9", "COM9")]):
            text = self.log(name + ".log")
            # The port's own command line, its two streams in order, nothing of another port.
            lines = text.splitlines()
            self.assertEqual(lines[0], "flint -c %s -e -A 0x802000 -S 4096 -x 00:00:00:00:00:0%d (port %s)"
                             % (port, n + 1, port))
            self.assertRegex(lines[1], r"^temp .*flint-gang-\d+-%d/$" % n)
            self.assertEqual(lines[2], "trace none")
            temps.add(lines[1])
            for other in plan:
                if other != port:
                    self.assertNotIn(other, text)
            self.assertFalse(os.path.exists(lines[1][5:]), "temporary folder left behind")
        self.assertEqual(len(temps), 4)
        self.assertIn("ending with 255", self.log("dev_pts_99.log"))

    def test_trace_folder_gives_each_port_a_trace_file_and_the_default_log_folder(self):
        traces = os.path.join(self.dir, "traces")
        rc, out, err = run_gang(["-c", "COM6,COM7", "-r"], cwd=self.dir,
                                env=self.env({}, FLINT_TRACE=traces), program=self.gang)
        self.assertEqual(rc, 0, out + err)
        rows = summary(out)
        log6 = rows["COM6"][2]
        self.assertRegex(log6, r"^flint-gang-logs/\d{8}-\d{6}(-\d+)?/COM6\.log$")
        with open(os.path.join(self.dir, log6)) as f:
            self.assertIn("trace %s/COM6.trace\n" % traces, f.read())

        with open(os.path.join(self.dir, "a-file"), "w"):
            pass
        rc, out, err = run_gang(["-c", "COM6,COM7", "-r"], cwd=self.dir,
                                env=self.env({}, FLINT_TRACE=os.path.join(self.dir, "a-file")), program=self.gang)
        self.assertEqual(rc, 255)
        self.assertIn("is a file: give a folder", err)

    def test_an_interrupt_stops_every_child_and_still_prints_the_summary(self):
        # Ctrl-C, SIGTERM and a closed terminal (SIGHUP) alike: the children
        # still running are stopped, their temporary folders removed, the
        # summary printed.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                self.setUp()
                plan = {"COM6": "ok", "COM7": "sleep", "COM8": "sleep"}
                env = dict(os.environ)
                env.update(self.env(plan))
                proc = subprocess.Popen([self.gang, "-c", "COM6,COM7,COM8", "-r", "--logs", "logs"], cwd=self.dir,
                                        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                # COM6 has ended (its status line) and the other two run and
                # have named their temporary folders in their logs.
                seen = harness.read_until(proc.stdout, re.compile(rb"^COM6 +passed ", re.M))
                temp_line = re.compile(r"^temp (.*)$", re.M)
                self.assertTrue(wait_for(lambda: len(read_pids(self.pids)) == 3 and all(
                    temp_line.search(self.log(name + ".log")) for name in plan)), seen)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=30)
                out = (seen + out).decode()
                self.assertEqual(proc.returncode, 2, out + err.decode())
                rows = summary(out)
                self.assertEqual({p: r[0] for p, r in rows.items()},
                                 {"COM6": "0", "COM7": "stopped", "COM8": "stopped"})
                self.assertIn("flint-gang: interrupted, every flint still running was stopped\n", out)
                pids = read_pids(self.pids)
                self.assertEqual(len(pids), 3)
                self.assertEqual([p for p in pids if alive(p)], [])
                for name in plan:
                    temp = temp_line.search(self.log(name + ".log")).group(1)
                    self.assertFalse(os.path.exists(temp), "temporary folder left behind: " + temp)

    def test_an_unwritable_log_folder_is_refused_before_anything_starts(self):
        logs = os.path.join(self.dir, "logs")
        os.makedirs(logs)
        make_unwritable(self, logs)
        rc, out, err = run_gang(["-c", "COM6,COM7", "-r", "--logs", "logs"], cwd=self.dir, env=self.env({}),
                                program=self.gang)
        self.assertEqual(rc, 255, out + err)
        self.assertRegex(err, r"^flint-gang: cannot write into the log folder logs: .+\n$")
        self.assertEqual(out, "")
        self.assertEqual(read_pids(self.pids), [])

    def test_a_log_that_cannot_be_written_whole_fails_its_module(self):
        # COM7's log is on a full disk: flint passed, but its module cannot be traced.
        os.makedirs(os.path.join(self.dir, "logs"))
        os.symlink("/dev/full", os.path.join(self.dir, "logs", "COM7.log"))
        rc, out, err = run_gang(["-c", "COM6,COM7", "-r", "--logs", "logs"], cwd=self.dir, env=self.env({}),
                                program=self.gang)
        self.assertEqual(rc, 1, out + err)
        self.assertEqual({p: r[0] for p, r in summary(out).items()}, {"COM6": "0", "COM7": "log lost"})
        self.assertRegex(out, r"(?m)^COM7 +failed \(log lost\) +\d+\.\d s$")
        self.assertTrue(out.endswith("flint-gang: COM7: its log logs/COM7.log is not whole (No space left on device): "
                                     "the module counts as failed\n"
                                     "flint-gang: 2 modules, 1 passed, 1 failed\n"), out)
        self.assertIn("done COM6", self.log("COM6.log"))

    def test_one_port_in_another_spelling_is_a_repeated_port(self):
        leader, follower = os.openpty()
        self.addCleanup(os.close, leader)
        self.addCleanup(os.close, follower)
        device = os.ttyname(follower)
        link = os.path.join(self.dir, "module-link")
        os.symlink(device, link)
        for other in (device.replace("/dev/", "/dev/../dev/", 1), device + "/", device.replace("/pts/", "//pts/"),
                      link):
            with self.subTest(other=other):
                rc, out, err = run_gang(["-c", "%s,%s" % (device, other), "-r", "--logs", "logs"], cwd=self.dir,
                                        env=self.env({}), program=self.gang)
                self.assertEqual((rc, out, err), (255, "", "flint-gang: port %s is given twice\n" % other))
                self.assertEqual(read_pids(self.pids), [])

    def test_status_lines_are_redrawn_in_place_on_a_terminal(self):
        code, text = harness.run_on_terminal([self.gang, "-c", "COM6,COM7", "-r", "--logs", "logs"], self.dir,
                                             self.env({"COM6": "exit:0", "COM7": "exit:3"}), timeout=30)
        self.assertEqual(code, 1)
        self.assertIn("\x1b[2A", text)
        self.assertRegex(text, r"\x1b\[KCOM6 +running ")
        self.assertRegex(text, r"\x1b\[KCOM7 +failed \(exit 3\) ")

    def test_no_flint_beside_it(self):
        os.remove(os.path.join(self.dir, "flint"))
        rc, out, err = run_gang(["-c", "COM6", "-r"], cwd=self.dir, program=self.gang)
        self.assertEqual(rc, 255)
        self.assertEqual(err, "flint-gang: no flint program beside flint-gang (looked for %s)\n"
                         % os.path.join(self.dir, "flint"))


class Refusals(GangCase):
    def test_refused_command_lines_end_with_255_and_start_nothing(self):
        cases = [
            (["-c", "COM6,COM7", "-i"], "flint-gang: -i (the interactive shell) cannot run in a gang\n"),
            (["-c", "COM6,,COM7", "-r"], "flint-gang: -c COM6,,COM7 holds an empty port name\n"),
            (["-c", "COM6,COM6", "-r"], "flint-gang: port COM6 is given twice\n"),
            (["-c", ",".join("COM%d" % n for n in range(1, 66)), "-r"],
             "flint-gang: 65 ports given, at most 64 can run in one gang\n"),
            (["-c", "COM6,COM7", "-x", "00:11:22:33:44:55"],
             "flint-gang: -x gives 1 addresses for 2 ports: one per port is needed\n"),
            (["-r"], "flint-gang: give the ports with -c PORT1,PORT2,...\n"),
        ]
        if harness.UNDER_WINE:
            # Its children get the texts it was given: a file name the Windows
            # code page cannot hold would reach them as a look-alike.
            cases.append((["-c", "COM6", "-p", "-A", "0x802000", "-F", "app\u0101.bin"],
                          "flint-gang: appa.bin is not the argument as typed: it holds a character the Windows "
                          "code page cannot represent (shown as ? or as a look-alike)\n"))
        for args, message in cases:
            with self.subTest(args=args[:2]):
                rc, out, err = run_gang(args, cwd=self.dir)
                self.assertEqual((rc, out, err), (255, "", message))
        self.assertEqual(os.listdir(self.dir), [])


class WithRealFlint(GangCase):
    """The real flint beside flint-gang, one-shot runs against virtual modules."""

    WORDS = ["-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "0x3000", "-F", "app.bin"]

    def setUp(self):
        super().setUp()
        if not harness.VMODULE:
            self.skipTest("VMODULE is not set")
        self.gang = place_gang_with_flint(self.dir)
        rc, out = harness.run_flint(["-c", "COM1"], cwd=self.dir)
        if "not available in this build" in out:
            self.skipTest("this flint has no one-shot mode")

    def test_every_module_programmed_and_faulty_ones_counted(self):
        count = 3 if harness.UNDER_WINE else 5
        faults = {1: "1032:status=3:0", 3: "1032:corrupt:0"} if count == 5 else {1: "1032:corrupt:0"}
        app = pattern(0x2800, 7)
        with open(os.path.join(self.dir, "app.bin"), "wb") as f:
            f.write(app)
        modules = [VModule(MODULE_ARGS + (["--fault", faults[i]] if i in faults else [])) for i in range(count)]
        try:
            for vm in modules:
                vm.start()
            ports = [flint_port(vm) for vm in modules]
            rc, out, err = run_gang(["-c", ",".join(ports)] + self.WORDS + ["--logs", "logs"], cwd=self.dir,
                                    env={"FLINT_TRACE": host_path(os.path.join(self.dir, "traces"))},
                                    program=self.gang)
            self.assertEqual(rc, len(faults), out + err)
            rows = summary(out)
            self.assertEqual(sorted(rows), sorted(ports))
            for i, (vm, port) in enumerate(zip(modules, ports)):
                result, _seconds, log = rows[port]
                want = "1" if i in faults else "0"
                self.assertEqual(result, want, port)
                self.assertEqual(vm.read_iflash(0x802000, len(app)) == app, i not in faults, port)
                with open(os.path.join(self.dir, log.replace("\\", "/")), errors="replace") as f:
                    text = f.read().replace("\r", "")
                self.assertIn("connect %s\n" % port, text)
                for other in ports:
                    if other != port:
                        self.assertNotIn(other + "\n", text)
                        self.assertNotIn(other + " ", text)
                # Each port's trace holds what its own module received.
                trace = os.path.join(self.dir, "traces", os.path.basename(log.replace("\\", "/"))[:-4] + ".trace")
                with open(trace) as f:
                    self.assertIn("-- serial - open %s: OK" % port, f.read())
            self.assertTrue(out.endswith("flint-gang: %d modules, %d passed, %d failed\n"
                                         % (count, count - len(faults), len(faults))), out)
        finally:
            for vm in modules:
                vm.stop()


if __name__ == "__main__":
    unittest.main()
