#!/usr/bin/env python3
"""The calibration library's fault campaign: a seeded, reproducible series of
station sessions of the real library (through tools/tunerlib_driver) against
a simulated golden sample and DUT (tools/simgolden), each with random payload
sizes, port order, channel and parameter, and one random fault of the
simulator (every kind, on every request, with random counts and skips).

    tunerlib_campaign.py RUNS [--seed S] [--first K] [--jobs J] [--verbose]

TUNERLIB, TUNERLIB_DRIVER and SIMGOLDEN name the library, the driver and the
simulator. Run K of seed S is the same run whenever it is made.

A session: build, list the ports, probe them, open both, set the DUT's MAC
address, then GetGoldenInfo, GetDUTInfo, VefifyDUTInfo, StartDUTCalibrate,
RebootGoldenSample, release. The simulator logs every request and the reply
it decided on, with the faults that reply met. For every call:
- an export that returns 0 sent exactly one request to its module and took
  a sound reply (packet type, status 0, the declared length, a matching
  CRC, every byte); a step of the chain returns 0 only when the step before
  it did, and forwards exactly the payload that step took; the calibration
  result is the first byte of the calibrate reply's payload;
- the probe lists a port as golden sample or DUT only when its identify
  reply was sound and named that role;
- a call ends within the read time-outs and pauses the library has.
A call that returns 0 against that is a false pass, the worst outcome; a
failure although its reply came sound and untouched is a false fail. The
sanitizers (in the ASan build) must say nothing.
"""
import os
import random
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import harness  # noqa: E402
import report  # noqa: E402
import tunerlib_harness as th  # noqa: E402
from crc16 import crc16  # noqa: E402

OPS = {"identify": 0x16, "golden": 0x12, "dut": 0x13, "verify": 0x14, "calibrate": 0x15, "reboot": 0x17,
       "mac": 0x18}
GOLDEN_OPS = ("golden", "verify", "reboot")
DUT_OPS = ("dut", "calibrate", "mac")
KINDS = ["type", "badcrc", "crcswap", "status", "split", "len", "short", "silence", "hangup", "hangup-after"]
ROLE_GOLDEN, ROLE_DUT, ROLE_DUT2 = 0x12, 0x11, 0x21
PAYLOAD_MAX = 246
REPLY_HEADER = 8

# The library's serial time-outs: a read of n bytes waits at most
# 100 ms a byte + 30 ms (golden-sample port and probe) or + 2000 ms (DUT
# port); an exchange reads the header and the rest, each at most twice; its
# pauses are at most 1500 ms (calibrate). Plus a second for the machine.
READ_MULTIPLIER_S = 0.1
READ_CONSTANT_S = {"golden": 0.03, "dut": 2.0}
PAUSE_MAX_S = 1.5
SLACK_S = 1.0


def exchange_bound(port):
    header = READ_MULTIPLIER_S * REPLY_HEADER + READ_CONSTANT_S[port]
    body = READ_MULTIPLIER_S * (PAYLOAD_MAX + 2) + READ_CONSTANT_S[port]
    return 2 * header + 2 * body + PAUSE_MAX_S + SLACK_S


def plan(seed, index):
    """The run `index` of `seed`: modules, session values and fault."""
    rng = random.Random("tunerlib:%d:%d" % (seed, index))
    golden_payload = rng.choice([0, 1, 16, rng.randint(0, PAYLOAD_MAX), PAYLOAD_MAX])
    dut_payload = rng.choice([0, 1, 16, rng.randint(0, PAYLOAD_MAX), PAYLOAD_MAX])
    dut_role = rng.choice(["dut", "dut2"])
    golden_first = rng.random() < 0.5
    op = rng.choice(list(OPS) + ["any"])
    kind = rng.choice(KINDS)
    value = ""
    if kind == "status":
        value = "=%d" % rng.randint(1, 255)
    elif kind == "split":
        a = rng.randint(1, 14)
        value = "=%d" % a if rng.random() < 0.6 else "=%d/%d" % (a, rng.randint(a + 1, 20))
    elif kind == "len":
        value = "=%d" % rng.choice([0, 1, rng.randint(0, 300), PAYLOAD_MAX, PAYLOAD_MAX + 1, 0xFFFFFFFF])
    elif kind in ("short", "hangup-after"):
        value = "=%d" % rng.randint(0, 20)
    count = rng.choice([1, 1, 1, 2, 0])
    skip = rng.choice([0, 0, 0, 1, 2])
    fault = "%s:%s%s:%d:%d" % (op, kind, value, count, skip)
    if op in GOLDEN_OPS:
        on = "golden"
    elif op in DUT_OPS:
        on = "dut"
    else:
        on = rng.choice(["golden", "dut"])
    modules = {"golden": "golden,payload=%d" % golden_payload, "dut": "%s,payload=%d" % (dut_role, dut_payload)}
    modules[on] += ",fault=" + fault
    order = ["golden", "dut"] if golden_first else ["dut", "golden"]
    return {"modules": [modules[m] for m in order], "order": order, "fault": fault, "on": on, "kind": kind,
            "channel": rng.randint(0, 39), "param": rng.randint(0, 255),
            "mac": bytes(rng.getrandbits(8) for _ in range(6))}


# ------------------------------------------------------------------ the simulator's log

class Exchange:
    def __init__(self, request):
        self.request = request
        self.reply = None      # the reply as decided, None when none came
        self.faults = []       # the faults it met ("silence", "hangup" included)


def exchanges(sim, done):
    """Per module, the exchanges logged from line `done` on."""
    per = {}
    for line in sim.log_lines()[done:]:
        index, _, rest = line.partition(" ")
        ex = per.setdefault(int(index), [])
        if rest.startswith("rx "):
            request = bytes.fromhex(rest[3:].replace(" ", ""))
            # A piece the simulator dropped is no request.
            if len(request) >= 5 and crc16(request[:-2]) == int.from_bytes(request[-2:], "little"):
                ex.append(Exchange(request))
        elif rest.startswith("-- reply ") and ex:
            text, _, faults = rest[len("-- reply "):].partition(" fault ")
            ex[-1].reply = bytes.fromhex(text.replace(" ", ""))
            ex[-1].faults = faults.split()
        elif rest.startswith("-- silent (fault)") and ex:
            ex[-1].faults = ["silence"]
        elif rest.startswith("-- hang up (fault)") and ex:
            ex[-1].faults = ["hangup"]
    return per


def sound(reply):
    """A reply the library may take: the packet type, status 0, a declared
    length that fits and matches, a matching CRC. Bytes 1 and 2 are not
    examined (a module need not echo the request's code there); a reply of
    another request shows in what the next step forwards."""
    if reply is None or len(reply) < REPLY_HEADER + 2:
        return False
    declared = int.from_bytes(reply[4:8], "little")
    return (reply[0] == 0x87 and reply[3] == 0 and declared <= PAYLOAD_MAX
            and len(reply) == REPLY_HEADER + declared + 2
            and crc16(reply[:-2]) == int.from_bytes(reply[-2:], "little"))


def untouched(e):
    return e.reply is not None and not e.faults


def payload(reply):
    return reply[REPLY_HEADER:-2]


# ------------------------------------------------------------------ one run

class Session:
    """The calls of one run, judged one by one."""

    def __init__(self, p, sim, driver):
        self.p, self.sim, self.driver = p, sim, driver
        self.port = {role: p["order"].index(role) for role in ("golden", "dut")}
        self.problems = []   # (verdict, text)
        self.took = {}       # chain step -> the payload it took (absent: failed)
        self.seconds = 0.0
        # Ports on which a reply was split: its last pieces may still arrive
        # during a later exchange and spoil it (the library then fails it,
        # as it should; that is no false fail).
        self.split_before = set()

    def flag(self, verdict, text):
        self.problems.append((verdict, text))

    def call(self, line, bound):
        done = len(self.sim.log_lines())
        start = time.monotonic()
        try:
            logs, result = self.driver.call(line, timeout=bound + 30)
        except AssertionError as e:
            self.flag("hang", "%s: %s" % (line, str(e)[:300]))
            raise
        seconds = time.monotonic() - start
        self.seconds = max(self.seconds, seconds)
        if seconds > bound:
            self.flag("hang", "%s took %.1f s, bound %.1f s" % (line, seconds, bound))
        ex = exchanges(self.sim, done)
        self.split_now = {port for port, es in ex.items() if any("split" in e.faults for e in es)}
        return result, ex

    def after(self):
        self.split_before |= self.split_now

    def step(self, name, line, role, before=None, forwards=None):
        """One export of the chain on the module `role`: judged, and what it
        took kept for the next step."""
        result, ex = self.call(line, exchange_bound("golden" if role == "golden" else "dut"))
        code = int(result.split()[1])
        mine = ex.get(self.port[role], [])
        if code == 0:
            if len(mine) != 1:
                self.flag("FALSE PASS", "%s returned 0 after %d requests" % (line, len(mine)))
            elif not sound(mine[0].reply):
                self.flag("FALSE PASS", "%s returned 0 on the reply %s (faults %s)"
                          % (line, mine[0].reply.hex() if mine[0].reply else None, mine[0].faults))
            elif before is not None and before not in self.took:
                self.flag("FALSE PASS", "%s returned 0 though %s had failed" % (line, before))
            elif forwards is not None and mine[0].request[3:-2] != forwards:
                self.flag("FALSE PASS", "%s sent %s, not the %s it should forward"
                          % (line, mine[0].request.hex(), forwards.hex()))
            else:
                self.took[name] = payload(mine[0].reply)
        elif (len(mine) == 1 and untouched(mine[0]) and sound(mine[0].reply)
              and self.port[role] not in self.split_before):
            self.flag("false fail", "%s returned %d on the untouched reply %s" % (line, code, mine[0].reply.hex()))
        self.after()
        return result

    def probe(self):
        result, ex = self.call("find 4 4", 2 * exchange_bound("golden") + SLACK_S)
        # "FindDevicePortId 0 golden=0 gn=1 dut=1 dn=1"
        words = dict(w.split("=", 1) for w in result.split()[2:])

        def ids(text):
            return set() if text == "-" else {int(v) for v in text.split(",")}
        listed = {"golden": ids(words.get("golden", "-")), "dut": ids(words.get("dut", "-"))}
        for role in ("golden", "dut"):
            port = self.port[role]
            mine = ex.get(port, [])
            answered = [e for e in mine if sound(e.reply)]
            named = {payload(e.reply)[0] for e in answered if len(payload(e.reply)) >= 1}
            for as_role, roles in (("golden", {ROLE_GOLDEN}), ("dut", {ROLE_DUT, ROLE_DUT2})):
                if port in listed[as_role] and not named & roles:
                    self.flag("FALSE PASS", "the probe listed port %d as %s without a sound reply naming it"
                              % (port, as_role))
            if port not in listed["golden"] | listed["dut"] and mine and all(untouched(e) for e in mine):
                self.flag("false fail", "the probe missed port %d (%s) whose reply was untouched" % (port, role))
        self.after()


def one_run(seed, index):
    p = plan(seed, index)
    outcome = {"index": index, "fault": p["fault"], "kind": p["kind"], "modules": p["modules"], "output": ""}
    verdict = "pass"
    with th.Sim(*p["modules"]) as sim, th.Driver(sim.names()) as d:
        s = Session(p, sim, d)
        failed_calls = 0
        try:
            for line in ("build", "ports 4 64"):
                if int(d.call(line)[1].split()[1]) != 0:
                    s.flag("false fail", line + " failed")
            s.probe()
            for role in ("golden", "dut"):
                line = "open_%s %d" % (role, s.port[role])
                # A module that hung up its line cannot be opened again.
                hung_up = "%d -- hang up (fault)" % s.port[role] in sim.log_lines()
                if int(d.call(line)[1].split()[1]) != 0 and not hung_up:
                    s.flag("false fail", line + " failed")
            chain = [
                ("mac", "mac %s 6" % p["mac"].hex(), "dut", None, p["mac"]),
                ("golden", "golden %d" % p["channel"], "golden", None, None),
                ("dut", "dut", "dut", "golden", None),
                ("verify", "verify", "golden", "dut", None),
                ("calibrate", "calibrate %d" % p["param"], "dut", "verify", None),
                ("reboot", "reboot", "golden", None, b""),
            ]
            for name, line, role, before, forwards in chain:
                if forwards is None and before is not None and before in s.took:
                    forwards = s.took[before]
                    if name == "calibrate":
                        forwards += bytes([p["channel"], p["param"]])
                result = s.step(name, line, role, before, forwards)
                code = int(result.split()[1])
                failed_calls += code != 0
                if name == "calibrate" and code == 0 and "calibrate" in s.took:
                    got = int(result.split("result=")[1], 16)
                    took = s.took["calibrate"]
                    if not took or got != took[0]:
                        s.flag("FALSE PASS", "calibration result %02X, the reply said %s" % (got, took.hex()))
            d.call("release")
            rc, rest = d.close()
        except AssertionError:
            rc, rest = None, ""
        # The library's log lines and any sanitizer report come with the
        # results (the driver's standard error is in the same pipe).
        outcome["output"] = "\n".join(d.transcript) + rest
        verdicts = [v for v, _ in s.problems]
        for v in ("hang", "FALSE PASS", "false fail"):
            if v in verdicts:
                verdict = v
                break
        else:
            verdict = "fail" if failed_calls else "pass"
        if rc not in (0, None) and verdict in ("pass", "fail"):
            verdict = "hang"
            s.problems.append(("hang", "the driver ended with %s" % rc))
        outcome["problems"] = s.problems
        outcome["seconds"] = s.seconds
        shutil.rmtree(sim.dir, ignore_errors=True)
    outcome["verdict"] = verdict
    outcome["sanitizer"] = report.sanitizer_said(outcome["output"])
    return outcome


def describe(o):
    return "fault %s on %s, longest call %.1f s%s" % (
        o["fault"], " ".join(o["modules"]), o["seconds"],
        "".join("\n  %s: %s" % pr for pr in o.get("problems", [])))


def main():
    a = report.arguments(__doc__)
    why = th.available()
    if why or not th.LIBRARY:
        sys.exit("TUNERLIB, TUNERLIB_DRIVER and SIMGOLDEN must name the library, the driver and the simulator: "
                 + (why or "TUNERLIB is not set"))
    return report.run_all("tunerlib campaign", one_run, a, describe)


if __name__ == "__main__":
    sys.exit(main())
