"""The station at work: flint-gang's cycle loop (--loop) and its status page
(--http), end to end. The real flint against virtual modules (one with a
fault), the loop driven from the console and from the page, the page read in
Debian's headless Chromium through the DevTools protocol; the refusals of
the server with a stand-in flint. Screenshots of the page stay in the test's
scratch folder (their paths are printed)."""
import json
import os
import queue
import re
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402
from test_gang import FAKE_FLINT, GangCase, place_gang_with_flint, place_gang_with_stand_in, read_pids, run_gang  # noqa: E402
from test_oneshot import OLD_MAC, OTHER, TAIL, region  # noqa: E402
import browser  # noqa: E402

PAGE_LINE = re.compile(r"^flint-gang: status page on (http://\S+/)$")
ADDRESSES = ["00:11:22:33:44:%02X" % n for n in range(1, 9)]
# The module programs in every cycle; the faulty one refuses every program request.
WORDS = ["-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "0x3000", "-F", "app.bin"]
FAULT = "1032:status=3:0"
APP = pattern(0x2800, 7)
# The module's configuration region, where the device address goes.
STORED = region(0x400, OTHER + OLD_MAC + TAIL)
LINE_TIMEOUT_S = 120


def cycle_line(n):
    return re.compile(r"^flint-gang: cycle %d: " % n)


class Gang:
    """flint-gang running in the background: its standard input to type on,
    its output read line by line by a thread."""

    def __init__(self, args, cwd, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        cmd = list(args)
        if harness.UNDER_WINE:
            full_env.update(harness.wine_env())
            cmd = [harness.WINE] + cmd
        self.proc = subprocess.Popen(cmd, cwd=cwd, env=full_env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode(errors="replace").replace("\r", "").rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, pattern, timeout=LINE_TIMEOUT_S):
        """The first line from now on that matches; fails at the end of the output."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no line matching %s in: %s" % (pattern.pattern, self.seen))
            if line is None:
                raise AssertionError("flint-gang ended without %s: %s" % (pattern.pattern, self.seen))
            self.seen.append(line)
            match = pattern.search(line)
            if match:
                return match

    def type(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def end(self, timeout=60):
        """Waits for the end; (exit code, standard error)."""
        try:
            self.proc.wait(timeout=timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        err = self.proc.stderr.read().decode(errors="replace").replace("\r", "")
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode, err


def http(url, method="GET", headers=None):
    """(status, JSON or text body)."""
    request = urllib.request.Request(url, method=method, headers=headers or {},
                                     data=b"" if method == "POST" else None)
    try:
        with urllib.request.urlopen(request, timeout=30) as r:
            status, body, kind = r.status, r.read().decode(), r.headers.get("Content-Type", "")
    except urllib.error.HTTPError as e:
        status, body, kind = e.code, e.read().decode(), e.headers.get("Content-Type", "")
    return status, json.loads(body) if kind.startswith("application/json") else body


class StationCase(GangCase):
    pass


class WithModules(StationCase):
    """The real flint beside flint-gang against three virtual modules; the
    second refuses every program request."""

    COUNT = 3
    FAULTY = 1

    def setUp(self):
        super().setUp()
        if not harness.VMODULE:
            self.skipTest("VMODULE is not set")
        self.gang_exe = place_gang_with_flint(self.dir)
        with open(os.path.join(self.dir, "app.bin"), "wb") as f:
            f.write(APP)
        self.modules = []
        for i in range(self.COUNT):
            extra = ["--fault", FAULT] if i == self.FAULTY else []
            self.modules.append(VModule(MODULE_ARGS + ["--reset-on-close"] + extra, iflash={0x801000: STORED}).start())
            self.addCleanup(self.modules[-1].stop)
        self.ports = [flint_port(vm) for vm in self.modules]

    def start_gang(self, *station_words):
        args = [self.gang_exe, "-c", ",".join(self.ports), "-x", ",".join(ADDRESSES[:self.COUNT])] + WORDS
        return Gang(args + ["--logs", "logs"] + list(station_words), cwd=self.dir)

    def check_modules(self):
        for i, vm in enumerate(self.modules):
            self.assertEqual(vm.read_iflash(0x802000, len(APP)) == APP, i != self.FAULTY, self.ports[i])

    def test_three_cycles_started_from_the_console(self):
        gang = self.start_gang("--loop", "--labels", "A1,A2,A3")
        for n in (1, 2, 3):
            gang.wait_line(cycle_line(n))
            gang.wait_line(re.compile(r"^flint-gang: Enter \(or Start on the page\) starts cycle %d, q ends$"
                                      % (n + 1)))
            self.check_modules()
            for vm in self.modules:
                vm.write_iflash(0x802000, b"\xff" * len(APP))  # the next module on the fixture
            gang.type("\n" if n < 3 else "q\n")
        gang.wait_line(re.compile(r"^flint-gang: loop ended after 3 cycles$"))
        rc, err = gang.end()
        self.assertEqual(rc, 3, err)  # the faulty module failed in each cycle
        # Each slot's line names its label and port and the cycle's verdict.
        text = "\n".join(gang.seen)
        for label, port in zip(["A1", "A2", "A3"], self.ports):
            state = "failed" if label == "A2" else "passed"
            self.assertRegex(text, r"(?m)^%s +%s +%s +%s" % (label[1], label, re.escape(port), state))
        self.assertIn("flint-gang: cycle 3: 3 modules, 2 passed, 1 failed; in all 3 cycles, 9 modules, 6 passed, "
                      "3 failed, first-pass yield 66.7 %", text)
        # Every cycle kept its own logs.
        for n in (1, 2, 3):
            self.assertEqual(len(os.listdir(os.path.join(self.dir, "logs", "cycle-%d" % n))), 3)

    @unittest.skipIf(harness.UNDER_WINE, "the page test runs against the Linux build")
    def test_the_page_in_a_browser_follows_the_cycles_and_starts_the_next(self):
        if not browser.CHROMIUM:
            self.skipTest("no chromium")
        gang = self.start_gang("--loop", "--labels", "A1,A2,A3", "--http", "127.0.0.1:0")
        url = gang.wait_line(PAGE_LINE).group(1)
        gang.wait_line(cycle_line(1))
        with browser.Browser(self.dir) as page:
            page.open(url)
            done = "document.querySelectorAll('.tile[data-state=passed], .tile[data-state=failed]').length === 3"
            page.wait_for(done + " && document.getElementById('start').disabled === false")
            self.check_tiles(page)
            self.check_counters(page, url, cycles=1)
            self.keep_screenshot(page, "station_page_cycle1.png")
            for vm in self.modules:
                vm.write_iflash(0x802000, b"\xff" * len(APP))
            page.evaluate("document.getElementById('start').click()")
            gang.wait_line(cycle_line(2))
            page.wait_for("document.querySelector('[data-counter=cycles] b').textContent === '2' && " + done)
            self.check_modules()
            self.check_tiles(page)
            self.check_counters(page, url, cycles=2)
            self.keep_screenshot(page, "station_page_cycle2.png")
        gang.type("q\n")
        rc, err = gang.end()
        self.assertEqual(rc, 2, err)

    def check_tiles(self, page):
        tiles = page.evaluate("""[...document.querySelectorAll('.tile')].map(t => ({
            slot: t.dataset.slot, state: t.dataset.state, name: t.querySelector('.name').textContent,
            port: t.querySelector('.port').textContent, detail: t.querySelector('.detail').textContent,
            extra: t.querySelector('.muted').textContent}))""")
        self.assertEqual([(t["slot"], t["name"], t["port"]) for t in tiles],
                         [(str(i + 1), "A%d" % (i + 1), p) for i, p in enumerate(self.ports)])
        for i, t in enumerate(tiles):
            self.assertEqual(t["state"], "failed" if i == self.FAULTY else "passed", t)
            self.assertIn("address " + ADDRESSES[i], t["extra"])
        self.assertRegex(tiles[self.FAULTY]["detail"], FAILED_DETAIL)

    def report(self):
        """This station's line of the database's report: {column: text}."""
        rc, out, err = run_gang(["report", "--db", "sqlite:flint-station.db", "--csv"], cwd=self.dir,
                                program=self.gang_exe)
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        head = lines[0].split(",")
        rows = [dict(zip(head, line.split(","))) for line in lines[1:] if line.count(",") == len(head) - 1]
        return [r for r in rows if r["slot"] == "all"][0]

    def check_counters(self, page, url, cycles):
        """The page's counters are the database's report; its records the database's runs."""
        shown = page.evaluate("Object.fromEntries([...document.querySelectorAll('[data-counter]')].map("
                              "c => [c.dataset.counter, c.querySelector('b').textContent]))")
        status, body = http(url + "api/status")
        self.assertEqual(status, 200)
        report = self.report()
        want = {k: int(report[k]) for k in ("cycles", "modules", "passed", "failed")}
        self.assertEqual(want["cycles"], cycles)
        self.assertEqual({k: body["counters"][k] for k in want}, want)
        self.assertEqual({k: int(shown[k]) for k in want}, want)
        # The report's CSV gives the yield as a fraction, the page as a percentage.
        self.assertEqual(shown["first-pass yield"], "%.1f %%" % (100 * float(report["first_pass_yield"])))
        self.assertEqual(body["counters"]["runs"], int(report["runs"]))
        status, records = http(url + "api/records?limit=20")
        self.assertEqual(len(records), 3 * cycles)
        for r in records:
            self.assertEqual(r["port"], self.ports[r["slot"] - 1])
            if "flint_version" in (r.get("record") or {}):  # a record flint wrote (not flint-gang's stand-in)
                self.assertEqual(r["verdict"], "fail" if r["slot"] == self.FAULTY + 1 else "pass", r)
        rows = page.evaluate("[...document.querySelectorAll('#records tbody tr')].map("
                             "r => [...r.cells].map(c => c.textContent))")
        self.assertEqual(len(rows), 3 * cycles)
        for row in rows:
            slot, verdict, failure = int(row[2]), row[4], row[5]
            faulty = slot == self.FAULTY + 1
            self.assertEqual(verdict, "fail" if faulty else "pass", row)
            self.assertRegex(failure, STORED_FAILURE if faulty else "^$")

    def keep_screenshot(self, page, name):
        path = os.path.join(self.dir, name)
        page.screenshot(path)
        with open(path, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        print("screenshot: %s" % path, file=sys.stderr)


# What the faulty slot's tile says: the failure class, the failing line of
# its run record and the message flint printed for it.
FAILED_DETAIL = re.compile(r"^module: line \d+ \(program .*app\.bin 0x802000\): .+$")
# The same failure as the station database keeps it (without flint's message).
STORED_FAILURE = re.compile(r"^module: line \d+ \(program .*app\.bin 0x802000\)$")


@unittest.skipIf(harness.UNDER_WINE, "the stand-in flint is a shell script")
class ServerRefusals(StationCase):
    """The server's refusals, with a stand-in flint that ends at once."""

    def setUp(self):
        super().setUp()
        self.gang_exe = place_gang_with_stand_in(self.dir, FAKE_FLINT)
        self.pids = os.path.join(self.dir, "pids")
        self.env = {"FAKE_PLAN": "COM6=exit:0 COM7=exit:1", "FAKE_PIDS": self.pids}

    def gang(self, *words):
        return Gang([self.gang_exe, "-c", "COM6,COM7", "-r", "--logs", "logs"] + list(words), cwd=self.dir,
                    env=self.env)

    def test_a_start_without_the_token_is_refused_and_nothing_runs(self):
        gang = self.gang("--loop", "--http", "127.0.0.1:0", "--http-token", "s3cret-42")
        url = gang.wait_line(PAGE_LINE).group(1)
        gang.wait_line(cycle_line(1))
        gang.wait_line(re.compile("^flint-gang: Enter"))
        for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "s3cret-42"}):
            with self.subTest(headers=headers):
                status, body = http(url + "api/start", "POST", headers)
                self.assertEqual(status, 401)
                self.assertEqual(body["error"], "this station needs its token: send Authorization: Bearer TOKEN")
        status, body = http(url + "api/status")
        self.assertEqual((body["cycle"], body["waiting"]), (1, True))
        self.assertEqual(len(read_pids(self.pids)), 2)
        # From another site's page in the same browser: refused even with the token.
        status, _ = http(url + "api/start", "POST", {"Authorization": "Bearer s3cret-42",
                                                      "Origin": "http://elsewhere.example"})
        self.assertEqual(status, 403)
        status, body = http(url + "api/start", "POST", {"Authorization": "Bearer s3cret-42"})
        self.assertEqual((status, body), (202, {"started": True}))
        gang.wait_line(cycle_line(2))
        gang.wait_line(re.compile("^flint-gang: Enter"))
        self.assertEqual(len(read_pids(self.pids)), 4)
        gang.type("q\n")
        rc, err = gang.end()
        self.assertEqual((rc, err), (2, ""))

    def test_unknown_paths_are_not_found_and_no_file_is_served(self):
        gang = self.gang("--http", "127.0.0.1:0", "--loop")
        url = gang.wait_line(PAGE_LINE).group(1)
        gang.wait_line(cycle_line(1))
        for method, path in [("GET", "nothing"), ("GET", "api/nothing"), ("GET", "logs/COM6.log"),
                             ("GET", "../../etc/passwd"), ("GET", "index.html"), ("POST", ""),
                             ("DELETE", "api/status"), ("GET", "api/start")]:
            with self.subTest(method=method, path=path):
                status, body = http(url + path, method)
                self.assertEqual((status, body), (404, {"error": "not found"}))
        self.assertEqual(http(url + "api/records?limit=0")[0], 400)
        self.assertEqual(http(url + "api/records?limit=x")[0], 400)
        status, page = http(url)
        self.assertEqual(status, 200)
        self.assertIn("<title>flint-gang station</title>", page)
        gang.type("q\n")
        self.assertEqual(gang.end()[0], 1)

    def test_a_port_in_use_is_refused_before_any_module_is_touched(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            gang = self.gang("--loop", "--http", "127.0.0.1:%d" % port)
            rc, err = gang.end()
        self.assertEqual(rc, 255)
        self.assertEqual(err, "flint-gang: cannot serve the status page on 127.0.0.1:%d: the port is in use or "
                              "the address is not this machine's\n" % port)
        self.assertEqual(read_pids(self.pids), [])

    def test_refused_station_options(self):
        cases = [
            (["--http", "0.0.0.0:8080"],
             "flint-gang: --http 0.0.0.0 serves the page beyond this machine: give --http-token TOKEN too\n"),
            (["--http", "8080x"], "flint-gang: --http 8080x: give [ADDRESS:]PORT, the port a number from 0 to "
                                  "65535\n"),
            (["--http", "127.0.0.1:70000"], "flint-gang: --http 127.0.0.1:70000: give [ADDRESS:]PORT, the port a "
                                            "number from 0 to 65535\n"),
            (["--http"], "flint-gang: --http needs a value\n"),
            (["--http-token", "abc"], "flint-gang: --http-token needs --http\n"),
            (["--http", "8080", "--http-token", "a b"],
             "flint-gang: --http-token: give 1 to 200 printable characters without spaces\n"),
            (["--labels", "A1"], "flint-gang: --labels gives 1 labels for 2 ports: one per port is needed\n"),
            (["--labels", "A1,A1"],
             "flint-gang: --labels: \"A1\" is empty, repeated or longer than 32 characters\n"),
        ]
        for words, message in cases:
            with self.subTest(words=words):
                rc, err = self.gang(*words).end()
                self.assertEqual((rc, err), (255, message))
        self.assertEqual(read_pids(self.pids), [])


if __name__ == "__main__":
    unittest.main()
