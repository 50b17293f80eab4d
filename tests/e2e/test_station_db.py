"""flint-gang's station database end to end: the real flint-gang with a
stand-in flint that writes the run record a plan tells it to (before and after
the address line, none at all), then with the real flint against virtual
modules; SQLite files and a private PostgreSQL server (pg_cluster.py)."""
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import pg_cluster  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_efuse_oem import OLD_MAC, OTHER, TAIL, region  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402
from test_gang import FLINT_GANG, GangCase, alive, host_path, place_gang_with_flint, place_gang_with_stand_in, read_pids, run_gang, summary  # noqa: E402

# A stand-in for flint that ends as the port's entry in $FAKE_PLAN says and
# writes the record a real run of that kind writes to $FLINT_RECORD:
#   pass   the address line ran, exit 0
#   early  a link failure on line 3, before the address line (line 7)
#   late   a verify failure on line 9, after the address line ran
#   none   exit 1 and no record (as if killed)
#   sleep  sleeps (for kill -9 of the gang)
STAND_IN = r'''#!/bin/sh
port=""; address=""; prev=""
for a in "$@"; do
  [ "$prev" = "-c" ] && port="$a"; [ "$prev" = "-x" ] && address="$a"; prev="$a"
done
echo "$$" >> "$FAKE_PIDS"
what=pass
for entry in $FAKE_PLAN; do case "$entry" in "$port="*) what="${entry#*=}" ;; esac; done
echo "flint $* ($what)"
[ "$what" = sleep ] && exec sleep 60
[ "$what" = none ] && exit 1
ran=true; code=0; verdict=pass; failure=null
case "$what" in
  early) ran=false; code=1; verdict=fail; failure='{"class": "link", "line": 3, "text": "connect", "message": "lost"}' ;;
  late) code=1; verdict=fail; failure='{"class": "verify", "line": 9, "text": "flashverify app.bin 0x802000", "message": "bad"}' ;;
esac
result=0; [ "$ran" = false ] && result=null
printf '{"schema": 1, "start": "%s", "duration_ms": 120, "port": "%s", "images": [{"path": "app.bin", "payload_sha256": "ab12"}], "device_address": {"text": "%s", "source": "option", "line": 7, "ran": %s, "result": %s}, "exit_code": %d, "verdict": "%s", "failure": %s}\n' \
  "$(date -u +%Y-%m-%dT%H:%M:%S.000Z)" "$port" "$address" "$ran" "$result" "$code" "$verdict" "$failure" >> "$FLINT_RECORD"
exit $code
'''

PORTS = ["P1", "P2", "P3", "P4"]
PLAN = {"P1": "pass", "P2": "early", "P3": "late", "P4": "pass"}


def db_rows(path, sql, *params):
    with sqlite3.connect(path) as db:
        return db.execute(sql, params).fetchall()


@unittest.skipIf(harness.UNDER_WINE, "the stand-in flint is a shell script")
class WithStandIn(GangCase):
    def setUp(self):
        super().setUp()
        self.gang = place_gang_with_stand_in(self.dir, STAND_IN)
        self.pids = os.path.join(self.dir, "pids")
        self.db = os.path.join(self.dir, "station.db")
        self.url = "sqlite:" + self.db

    def gang_run(self, args, plan=None, url=None):
        env = {"FAKE_PLAN": " ".join("%s=%s" % kv for kv in (plan or PLAN).items()), "FAKE_PIDS": self.pids}
        return run_gang(list(args) + ["--db", url or self.url, "--logs", "logs"], cwd=self.dir, env=env,
                        program=self.gang)

    def pool(self, *args, url=None):
        return run_gang(["pool"] + list(args) + ["--db", url or self.url], cwd=self.dir, program=self.gang)

    def test_each_run_returns_or_consumes_its_address_by_the_address_line(self):
        self.assertEqual(self.pool("create", "line", "00:11:22:00:00:00", "00:11:22:00:00:0f")[0], 0)
        issued = []
        for cycle in range(3):
            rc, out, err = self.gang_run(["-c", ",".join(PORTS), "-r", "--pool", "line", "--station", "st-a"])
            self.assertEqual(rc, 2, out + err)
            for port in PORTS:
                with open(os.path.join(self.dir, "logs", port + ".log")) as f:
                    issued.append((port, f.read().split(" -x ")[1].split()[0]))
        # Ascending from the first; P2's address (never written) is P1's neighbour's next time.
        self.assertEqual(issued[:4], [("P1", "00:11:22:00:00:00"), ("P2", "00:11:22:00:00:01"),
                                      ("P3", "00:11:22:00:00:02"), ("P4", "00:11:22:00:00:03")])
        self.assertEqual(issued[4:8], [("P1", "00:11:22:00:00:01"), ("P2", "00:11:22:00:00:04"),
                                       ("P3", "00:11:22:00:00:05"), ("P4", "00:11:22:00:00:06")])
        runs = db_rows(self.db, "SELECT id, station, slot, port, verdict, failure_class, failure_line, device_address,"
                                " address_written, image_sha256 FROM runs ORDER BY id")
        self.assertEqual(len(runs), 12)
        consumed = db_rows(self.db, "SELECT address, run FROM addresses WHERE state = 'consumed'")
        bound = {run for _a, run in consumed}
        self.assertEqual(len(consumed), 9)
        self.assertEqual(len(bound), 9)  # each consumed address bound to its own run
        for run in runs:
            self.assertEqual(run[1], "st-a")
            self.assertEqual(run[9], "ab12")
            self.assertEqual(run[8] == 1, run[3] != "P2", run)
            self.assertEqual(run[0] in bound, run[3] != "P2", run)
        free = db_rows(self.db, "SELECT address FROM addresses WHERE state = 'free'")
        self.assertEqual(free, [(0x001122000007,)])  # the third cycle's P2 address, free again
        # The report's counts are those of the runs.
        rc, out, err = run_gang(["report", "--db", self.url, "--csv"], cwd=self.dir, program=self.gang)
        self.assertEqual(rc, 0, err)
        tables = [t.splitlines() for t in out.strip().split("\n\n")]
        self.assertEqual(tables[0][0], "station,slot,port,cycles,runs,modules,passed,failed,first_pass_yield,"
                                       "median_s,modules_per_hour")
        rows = {tuple(r.split(",")[:3]): r.split(",")[3:9] for r in tables[0][1:]}
        self.assertEqual(rows[("st-a", "all", "")], ["3", "12", "12", "6", "6", "0.5000"])
        self.assertEqual(rows[("st-a", "2", "P2")], ["3", "3", "3", "0", "3", "0.0000"])
        self.assertIn("st-a,all,class,link,3", tables[1])
        self.assertIn("st-a,all,line,line 9: flashverify app.bin 0x802000,3", tables[1])
        self.assertEqual(tables[2][1], "line,00:11:22:00:00:00,00:11:22:00:00:0F,9,7,0,0")

    def test_a_killed_gang_leaves_its_addresses_quarantined_until_released(self):
        self.assertEqual(self.pool("create", "line", "00:11:22:00:01:00", "00:11:22:00:01:ff")[0], 0)
        env = dict(os.environ, FAKE_PLAN="P1=sleep P2=sleep P3=sleep", FAKE_PIDS=self.pids)
        proc = subprocess.Popen([self.gang, "-c", "P1,P2,P3", "-r", "--pool", "line", "--db", self.url, "--logs",
                                 "logs"], cwd=self.dir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while len(read_pids(self.pids)) < 3 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(read_pids(self.pids)), 3)
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=30)
        for pid in read_pids(self.pids):
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        os.remove(self.pids)

        rc, out, err = self.pool("show", "line")
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, r"\nline +00:11:22:00:01:00  00:11:22:00:01:FF +253 +0 +0 +3\n")
        quarantined = [line.split()[1] for line in out.splitlines() if line.startswith("quarantined ")]
        self.assertEqual(quarantined, ["00:11:22:00:01:00", "00:11:22:00:01:01", "00:11:22:00:01:02"])

        rc, out, err = self.gang_run(["-c", "P1,P2", "-r", "--pool", "line"], plan={"P1": "pass", "P2": "pass"})
        self.assertEqual(rc, 0, out + err)
        with open(os.path.join(self.dir, "logs", "P1.log")) as f:
            self.assertIn("-x 00:11:22:00:01:03", f.read())

        rc, out, err = self.pool("release", "line", "00:11:22:00:01:01")
        self.assertEqual((rc, out, err), (0, "flint-gang: 00:11:22:00:01:01 is free again in pool line\n", ""))
        rc, out, err = self.pool("release", "line", "00:11:22:00:01:03")
        run = db_rows(self.db, "SELECT run FROM addresses WHERE address = ?", 0x001122000103)[0][0]
        self.assertEqual((rc, err), (255, "flint-gang: 00:11:22:00:01:03 is consumed by run %d: a module may hold "
                                          "it, it is not released\n" % run))
        rc, out, err = self.gang_run(["-c", "P1", "-r", "--pool", "line"], plan={"P1": "pass"})
        self.assertEqual(rc, 0, out + err)
        with open(os.path.join(self.dir, "logs", "P1.log")) as f:
            self.assertIn("-x 00:11:22:00:01:01", f.read())

    def test_refused_before_any_module_is_touched(self):
        self.assertEqual(self.pool("create", "line", "00:11:22:00:02:00", "00:11:22:00:02:02")[0], 0)
        newer = os.path.join(self.dir, "newer.db")
        shutil.copy(self.db, newer)
        db_rows(newer, "UPDATE station_schema SET version = 99")
        read_only = os.path.join(self.dir, "read-only.db")
        shutil.copy(self.db, read_only)
        os.chmod(read_only, 0o444)
        gang = ["-c", "P1,P2,P3,P4", "-r"]
        cases = [
            (["pool", "create", "b", "00:11:22:00:03:09", "00:11:22:00:03:00"],
             "flint-gang: the pool's range 00:11:22:00:03:09 to 00:11:22:00:03:00 runs backwards\n"),
            (["pool", "create", "b", "00:11:22:00:01:ff", "00:11:22:00:02:00"],
             "flint-gang: the range 00:11:22:00:01:ff to 00:11:22:00:02:00 overlaps pool line (00:11:22:00:02:00 "
             "to 00:11:22:00:02:02)\n"),
            (["pool", "create", "b", "00:11:22:00:03", "00:11:22:00:03:09"],
             "flint-gang: 00:11:22:00:03 is no device address (00:11:22:33:44:55)\n"),
            (["pool", "release", "line", "0:1:2:3:4:zz"], "flint-gang: 0:1:2:3:4:zz is no device address "
                                                           "(00:11:22:33:44:55)\n"),
            (gang + ["--pool", "line", "-x", "1:2:3:4:5:6,1:2:3:4:5:7,1:2:3:4:5:8,1:2:3:4:5:9"],
             "flint-gang: --pool gives each port its address: leave out -x\n"),
            (gang + ["--pool", "line"], "flint-gang: pool line has 3 free addresses for 4 ports: nothing was "
                                        "started\n"),
            (gang + ["--pool", "nosuch"], "flint-gang: there is no address pool nosuch (flint-gang pool create)\n"),
            (gang + ["--pool", "line", "--db", "none"],
             "flint-gang: --pool needs the station database: leave out --db none\n"),
            (gang + ["--db", "sqlite:" + newer],
             "flint-gang: the station database sqlite:%s has schema version 99, newer than this flint-gang's 1: "
             "use the flint-gang that wrote it, or a newer one\n" % newer),
            (gang + ["--db", "sqlite:" + read_only],
             "flint-gang: cannot open the station database sqlite:%s: the file is read-only: the station must be "
             "able to write it\n" % read_only),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                url = args[args.index("--db") + 1] if "--db" in args else self.url
                args = [a for i, a in enumerate(args) if a != "--db" and (i == 0 or args[i - 1] != "--db")]
                if args[0] == "pool":
                    rc, out, err = self.pool(*args[1:], url=url)
                else:
                    rc, out, err = self.gang_run(args, url=url)
                self.assertEqual((rc, err), (255, message), out)
                self.assertFalse(os.path.exists(self.pids), "a flint was started")
        rc, out, err = self.gang_run(gang, url="postgresql:///x?host=/nonexistent")
        self.assertEqual(rc, 255)
        self.assertTrue(err.startswith("flint-gang: cannot open the station database postgresql:///x?host="
                                       "/nonexistent: "), err)
        self.assertFalse(os.path.exists(self.pids))
        self.assertEqual(db_rows(self.db, "SELECT COUNT(*) FROM addresses"), [(0,)])
        missing = os.path.join(self.dir, "missing.db")
        rc, out, err = run_gang(["report", "--db", "sqlite:" + missing], cwd=self.dir, program=self.gang)
        self.assertEqual((rc, out, err), (255, "", "flint-gang: there is no station database %s (give --db URL)\n"
                                                   % missing))
        self.assertFalse(os.path.exists(missing))

    def concurrent_gangs(self, url, gangs, cycles, rows):
        """`gangs` gangs of the 4 ports, `cycles` cycles each, all at once
        on one database; then no address issued twice, no record lost."""
        self.assertEqual(self.pool("create", "shared", "00:22:00:00:00:00", "00:22:00:00:ff:ff", url=url)[0], 0)
        failures = []

        def gang_loop(n):
            work = os.path.join(self.dir, "g%d" % n)
            os.makedirs(work)
            for exe in ("flint", "flint-gang"):
                shutil.copy(os.path.join(self.dir, exe), os.path.join(work, exe))
            env = {"FAKE_PLAN": " ".join("%s=%s" % kv for kv in PLAN.items()),
                   "FAKE_PIDS": os.path.join(work, "pids")}
            for _ in range(cycles):
                rc, out, err = run_gang(["-c", ",".join(PORTS), "-r", "--pool", "shared", "--db", url,
                                         "--station", "st-%d" % n, "--logs", "logs"], cwd=work, env=env,
                                        program=os.path.join(work, "flint-gang"))
                if rc != 2 or err:
                    failures.append((n, rc, err))

        threads = [threading.Thread(target=gang_loop, args=(n,)) for n in range(gangs)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        runs = rows("SELECT device_address, address_written, station FROM runs")
        self.assertEqual(len(runs), gangs * cycles * len(PORTS))  # no record lost
        written = [r[0] for r in runs if int(r[1]) == 1]
        self.assertEqual(len(written), gangs * cycles * 3)
        self.assertEqual(len(set(written)), len(written))  # no address issued twice
        consumed = rows("SELECT COUNT(*), COUNT(DISTINCT run) FROM addresses WHERE state = 'consumed'")
        self.assertEqual([int(v) for v in consumed[0]], [len(written), len(written)])
        left = rows("SELECT COUNT(*) FROM addresses WHERE state IN ('reserved', 'quarantined')")
        self.assertEqual(int(left[0][0]), 0)

    def test_two_gangs_share_one_sqlite_file(self):
        self.concurrent_gangs(self.url, 2, 25, lambda sql: db_rows(self.db, sql))

    @unittest.skipUnless(pg_cluster.available(), "no PostgreSQL server programs (Debian's postgresql)")
    def test_four_gangs_share_one_postgresql_database(self):
        with pg_cluster.PgCluster() as pg:
            url = pg.create_database("line")
            self.concurrent_gangs(url, 4, 25, lambda sql: pg.psql("line", sql))
            rc, out, err = run_gang(["report", "--db", url, "--csv"], cwd=self.dir, program=self.gang)
            self.assertEqual(rc, 0, err)
            self.assertIn("st-3,all,,25,100,100,50,50,0.5000,", out)


def stored_address(vm):
    """The device address in the module's configuration region (entry 0x0033)."""
    block = vm.read_iflash(0x801400, 0x400)
    length = block[4] | block[5] << 8
    at = 6
    while at + 3 <= 6 + length:
        ident, size = block[at] | block[at + 1] << 8, block[at + 2]
        if ident == 0x0033 and size == 6:
            return ":".join("%02X" % b for b in reversed(block[at + 3:at + 9]))
        at += 3 + 2 * size
    return None


class WithRealFlint(GangCase):
    """The real flint beside flint-gang against virtual modules whose
    configuration region takes the address; faults before the address line
    (every program request refused) and after it (the eFuse burn refused)."""

    WORDS = ["-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "0x3000", "-F", "app.bin", "-u", "efuse.json"]
    BEFORE = ["--fault", "1032:status=3:0"]
    AFTER = ["--fault", "1061:status=3:0"]

    def setUp(self):
        super().setUp()
        if not harness.VMODULE:
            self.skipTest("VMODULE is not set")
        self.gang = place_gang_with_flint(self.dir)
        with open(os.path.join(self.dir, "app.bin"), "wb") as f:
            f.write(pattern(0x2800, 7))
        with open(os.path.join(self.dir, "efuse.json"), "wb") as f:
            f.write(bytes([0x11, 0x02, 0x44, 0x80]))
        self.url = "sqlite:" + host_path(os.path.join(self.dir, "station.db"))

    def gang_run(self, args):
        more = [] if "--db" in args else ["--db", self.url]
        return run_gang(list(args) + more, cwd=self.dir, program=self.gang)

    def test_cycles_with_a_pool_give_every_passed_module_its_own_address(self):
        count, cycles = (3, 2) if harness.UNDER_WINE else (4, 10)
        self.assertEqual(self.gang_run(["pool", "create", "line", "00:11:22:40:00:00", "00:11:22:40:00:ff"])[0], 0)
        stored_region = region(0x400, OTHER + OLD_MAC + TAIL)
        held, returned, totals = [], 0, {"pass": 0, "fail": 0}
        for cycle in range(cycles):
            kinds = [("pass", "before", "after", "pass")[(cycle + i) % 4] for i in range(count)]
            faults = {"pass": [], "before": self.BEFORE, "after": self.AFTER}
            modules = [VModule(MODULE_ARGS + faults[k], iflash={0x801000: stored_region}) for k in kinds]
            try:
                for vm in modules:
                    vm.start()
                ports = [flint_port(vm) for vm in modules]
                rc, out, err = self.gang_run(["-c", ",".join(ports)] + self.WORDS +
                                             ["--pool", "line", "--logs", "logs%d" % cycle])
                self.assertEqual(rc, sum(k != "pass" for k in kinds), out + err)
                if cycle == 0:
                    records = db_rows(self.db_path(), "SELECT record FROM runs")
                    if all('"written_by":"flint-gang"' in r[0] for r in records):
                        self.skipTest("this flint writes no run record")
                rows = summary(out)
                for vm, port, kind in zip(modules, ports, kinds):
                    self.assertEqual(rows[port][0], "0" if kind == "pass" else "1", port)
                    address = stored_address(vm)
                    if kind == "before":
                        self.assertEqual(address, "99:99:99:99:99:99")  # untouched
                        returned += 1
                    else:
                        held.append((address, kind))
                    totals["pass" if kind == "pass" else "fail"] += 1
            finally:
                for vm in modules:
                    vm.stop()
        passed = [a for a, k in held if k == "pass"]
        self.assertEqual(len(set(passed)), len(passed))
        self.assertEqual(len({a for a, _k in held}), len(held))
        db = self.db_path()
        consumed = db_rows(db, "SELECT a.address, r.device_address, r.verdict FROM addresses a JOIN runs r"
                               " ON r.id = a.run WHERE a.state = 'consumed'")
        self.assertEqual(sorted(r[1] for r in consumed), sorted(a for a, _k in held))
        self.assertEqual(len(consumed), len({r[1] for r in consumed}))
        # The address of a run whose address line never ran went back to the pool: free, or taken by
        # a later module's run.
        unwritten = db_rows(db, "SELECT id, device_address FROM runs WHERE address_written = 0")
        unwritten = [(run, *db_rows(db, "SELECT state, run FROM addresses WHERE address = ?",
                                    int(address.replace(":", ""), 16))[0]) for run, address in unwritten]
        self.assertEqual(len(unwritten), returned)
        for run, state, bound in unwritten:
            self.assertTrue(state == "free" or (state == "consumed" and bound > run), (run, state, bound))
        self.assertEqual(db_rows(db, "SELECT COUNT(*) FROM addresses WHERE state IN ('reserved', 'quarantined')"),
                         [(0,)])
        rc, out, err = self.gang_run(["report", "--csv"])
        self.assertEqual(rc, 0, err)
        station = out.splitlines()[1].split(",")
        self.assertEqual(station[1], "all")
        self.assertEqual([int(v) for v in station[3:8]],
                         [cycles, cycles * count, cycles * count, totals["pass"], totals["fail"]])

    @unittest.skipUnless(harness.UNDER_WINE, "the Windows build has no PostgreSQL client; Linux's has")
    def test_a_postgresql_database_is_refused_naming_the_limit(self):
        rc, out, err = self.gang_run(["-c", "COM1", "-r", "--db", "postgresql://station@db/line"])
        self.assertEqual((rc, out), (255, ""))
        self.assertEqual(err, "flint-gang: cannot open the station database postgresql://station@db/line: this build "
                              "of flint-gang has no PostgreSQL client (libpq); use an SQLite file (sqlite:PATH) or "
                              "the Linux build for a line's shared database\n")

    def db_path(self):
        return os.path.join(self.dir, "station.db")


if __name__ == "__main__":
    unittest.main()
