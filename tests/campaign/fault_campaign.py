#!/usr/bin/env python3
"""The fault campaign: a seeded, reproducible series of one-shot runs of the
real flint against the virtual module, each with random images (sizes and
flash addresses) and one random fault of the module (every kind, on every
operation a run sends, with random counts and skips).

    fault_campaign.py RUNS [--seed S] [--first K] [--jobs J] [--verbose]

FLINT and VMODULE name the programs (the ./dev.sh campaign command uses the
ASan+UBSan build of flint). Run K of seed S is the same run whenever it is
made: `--seed S --first K 1` repeats it alone.

For every run: the exit code is 0 only if the module's flash holds every
image afterwards (a 0 without the images is a false pass, the worst
outcome), and a run whose faults flint can get past ends 0 (a failure with
the images in place is a false fail, unless a fault denied flint the answer
it needed to confirm them: see `unconfirmable`), the run ends
within the time its time-outs allow, and the sanitizers say nothing. Each
run also leaves its run record (FLINT_RECORD): one whole line whose exit code
is the run's and whose verdict is "pass" exactly when the flash holds every
image (a "pass" record of a module without its images is a false pass too). Prints
one line per run that is not as it should be and the table of outcomes per
fault kind; the exit status is 0 when there was no false pass, no hang and
no sanitizer report.
"""
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import flint_timing  # noqa: E402
import harness  # noqa: E402
import report  # noqa: E402
from harness import VModule  # noqa: E402

FLASH_START = 0x802000
FLASH_END = 0x8F0000  # images stay inside the module's 1 MiB internal flash
ERASE_UNIT = 0x1000
MAX_IMAGE = 40000

# The operations a one-shot run sends, by program mode (None: detected), as
# the module's log shows them: the ROM's HCI vendor commands (flash init and
# unlock, the mode probe, the signature read, the loader chunks and their
# trigger, HCI-mode erase, read, program and rate change) and the loader's
# requests (rate, erase, program, verify).
LOADER = ["1010", "1030", "1032", "1050"]
OPERATIONS = {
    None: ["fc2c", "fc61", "fc2d", "fc20", "fc62"] + LOADER,
    1: ["fc2d", "fc20", "fc62"] + LOADER,
    0: ["fc17", "fc2b", "fc2c", "fc2d", "fc2e"],
    4: ["1030", "1032", "1050"],
}
# Mode 4: the module runs its loader already, at the 2000000 baud the run
# connects with.
MODULE_ARGS = {4: ["--boot", "loader", "--no-rate-follow"]}
KINDS = ["badcrc", "status", "short", "silence", "garbage", "corrupt", "late"]

# The time-outs a run may meet: a sound run's start, work and exchanges, and
# for every fault the module applied (its log names each one) what that
# fault may cost: an answer that does not come, flint's serial read
# time-out (common/timing.h) and once more for the late answer awaited
# before the next request, with the lines a verify retry runs again; an
# answer late by less than the read time-out, its lateness. A run still
# going after KILL_S has hung.
READ_TIMEOUT_S = flint_timing.value("COM_READ_CONSTANT_MS") / 1000
BASE_S = 40.0
PER_FAULT_S = 2 * READ_TIMEOUT_S + 2.0
KILL_S = 900.0
APPLIED = re.compile(r" -- .* fault (\S+)$", re.M)
# The module's log: a request ("rx", its operation in its first bytes: the
# HCI packet type and opcode, or the loader's marker and code) and a note of
# the faults applied to the request before it.
REQUEST = re.compile(r"^\S+ (?:rx \S+ \S+ (?:01 (\w\w) (\w\w)|87 (\w\w) (\w\w))|-- .* fault (\S+)$)", re.M)
# The request a verify sends, by program mode (the HCI mode reads the flash
# back; the loader compares CRC-16 values), and how often one verify line is
# tried: once and once more for each retry of the script.
VERIFY_OP = {0: "fc2d"}
LOADER_VERIFY_OP = "1050"
VERIFY_TRIES = 1 + flint_timing.value("SCRIPT_RETRY_LIMIT")


def plan(seed, index):
    """The run `index` of `seed`: program mode, images and fault."""
    rng = random.Random("%d:%d" % (seed, index))
    mode = rng.choice([None, None, 1, 0, 4])
    count = rng.choice([1, 1, 2, 3])
    images = []
    taken = []
    for _ in range(count):
        size = rng.randint(1, MAX_IMAGE)
        span = (size + ERASE_UNIT - 1) // ERASE_UNIT * ERASE_UNIT
        for _ in range(100):
            addr = rng.randrange(FLASH_START, FLASH_END - span, ERASE_UNIT)
            if all(addr + span <= a or b <= addr for a, b in taken):
                break
        taken.append((addr, addr + span))
        data = bytes(rng.getrandbits(8) for _ in range(size))
        images.append((addr, data))
    op = rng.choice(OPERATIONS[mode] + ["any"])
    kind = rng.choice(KINDS)
    if kind == "status":
        kind = "status=%d" % rng.randint(1, 6)
    elif kind == "short":
        kind = "short=%d" % rng.randint(0, 9)
    elif kind == "garbage":
        kind = "garbage=%d" % rng.randint(1, 8)
    elif kind == "late":
        # Within the read time-out, or beyond it (the link awaits the late
        # answer before its next request).
        kind = "late=%d" % rng.choice([50, 1000, 4000, 6500])
    fault_count = rng.choice([1, 1, 1, 2, 3, 0])
    skip = rng.choice([0, 0, 1, 2, 5, 20])
    return {"mode": mode, "images": images, "fault": "%s:%s:%d:%d" % (op, kind, fault_count, skip),
            "kind": kind.split("=")[0], "fault_count": fault_count}


def time_bound(module_log):
    bound = BASE_S
    for kinds in APPLIED.findall(module_log):
        for kind in kinds.split(","):
            late_s = int(kind[5:]) / 1000 if kind.startswith("late=") else None
            bound += late_s + 1 if late_s is not None and late_s < READ_TIMEOUT_S else PER_FAULT_S
    return bound


def faulted_requests(module_log):
    """(operation, fault kinds) for every request the module applied a fault to."""
    faulted, op = [], None
    for m in REQUEST.finditer(module_log):
        if m.group(5):
            faulted.append((op, m.group(5).split(",")))
        else:
            low, high = (m.group(1), m.group(2)) if m.group(1) else (m.group(3), m.group(4))
            op = high + low
    return faulted


def is_curable(kind):
    """A fault whose request still gets its answer in time: a late answer
    within the read time-out, or a wrong byte stored (the verify finds it)."""
    if kind.startswith("late="):
        return int(kind[5:]) / 1000 < READ_TIMEOUT_S
    return kind == "corrupt"


def unconfirmable(module_log, mode):
    """True when the module's faults left flint no way to confirm its
    images, so that a failure is the right outcome even with the images in
    place: an answer lost, cut, garbled, refused or too late for a request
    that is not tried again (flint cannot know the work was done), or every
    try of a verify line denied its answer."""
    verify_op = VERIFY_OP.get(mode, LOADER_VERIFY_OP)
    denied_verifies = 0
    for op, kinds in faulted_requests(module_log):
        if all(is_curable(k) for k in kinds):
            continue
        if op != verify_op:
            return True
        denied_verifies += 1
    return denied_verifies >= VERIFY_TRIES


def arguments(p, port, station):
    """flint's command line for the plan, writing its image (or job) files."""
    args = ["-c", port]
    if p["mode"] is not None:
        args += ["-M", str(p["mode"])]
    images = p["images"]
    if len(images) == 1:
        addr, data = images[0]
        with open(os.path.join(station, "app.bin"), "wb") as f:
            f.write(data)
        span = (len(data) + ERASE_UNIT - 1) // ERASE_UNIT * ERASE_UNIT
        return args + ["-e", "-p", "-v", "-A", "0x%X" % addr, "-S", "0x%X" % span, "-F", "app.bin"]
    os.makedirs(os.path.join(station, "img"), exist_ok=True)
    files = []
    for i, (addr, data) in enumerate(images):
        name = "image%d.bin" % i
        with open(os.path.join(station, "img", name), "wb") as f:
            f.write(data)
        files.append({"name": name, "address": "0x%X" % addr})
    job = {"quarryconfig": {"port": port, "baud": "1000000",
                            "appimage": {"relativepath": "img", "file": files}}}
    with open(os.path.join(station, "job.json"), "w") as f:
        json.dump(job, f)
    return ["-f", "job.json", "-a"] + (["-M", str(p["mode"])] if p["mode"] is not None else [])


def record_disagrees(path, rc, held):
    """What is wrong with a run's record: "" when it is one whole line that
    agrees with the run; "pass" when it says pass for a module without its
    images; otherwise what disagrees."""
    if rc is None:
        return ""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
        record = json.loads(lines[0]) if len(lines) == 1 else None
    except (OSError, ValueError):
        record = None
    if record is None:
        return "no single whole record line"
    if record.get("verdict") == "pass" and not held:
        return "pass"
    signed = rc - 256 if rc > 127 else rc
    if record.get("exit_code") != signed or (record.get("verdict") == "pass") != (rc == 0):
        return "exit code or verdict"
    if (record.get("failure") is None) != (rc == 0):
        return "failure"
    return ""


def station_dir(index):
    """A folder with a copy of flint and its "fw" loader folder beside it."""
    d = harness.scratch_dir("campaign%d" % index)
    harness.make_fw_dir(os.path.join(d, "fw"))
    shutil.copy(harness.FLINT, os.path.join(d, os.path.basename(harness.FLINT)))
    return d


def one_run(seed, index):
    p = plan(seed, index)
    station = station_dir(index)
    program = os.path.join(station, os.path.basename(harness.FLINT))
    outcome = {"index": index, "fault": p["fault"], "kind": p["kind"], "mode": p["mode"],
               "images": ["0x%X+%d" % (a, len(d)) for a, d in p["images"]]}
    with VModule(MODULE_ARGS.get(p["mode"], []) + ["--fault", p["fault"]]) as vm:
        args = arguments(p, vm.port, station)
        start = time.monotonic()
        try:
            record_path = os.path.join(station, "record.jsonl")
            proc = subprocess.run([program] + args, cwd=station, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=KILL_S,
                                  env=dict(os.environ, FLINT_RECORD=record_path))
            rc, out = proc.returncode, proc.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired as e:
            rc, out = None, (e.stdout or b"").decode(errors="replace")
        seconds = time.monotonic() - start
        held = all(vm.read_iflash(addr, len(data)) == data for addr, data in p["images"])
        module_log = vm.log_text()
        bound = time_bound(module_log)
        excused = unconfirmable(module_log, p["mode"])
    outcome.update(rc=rc, held=held, seconds=seconds, bound=bound, args=" ".join(args))
    outcome["sanitizer"] = report.sanitizer_said(out)
    record_fault = record_disagrees(os.path.join(station, "record.jsonl"), rc, held)
    if rc is None or seconds > bound:
        verdict = "hang"
    elif (rc == 0 or record_fault == "pass") and not held:
        verdict = "FALSE PASS"
    elif record_fault:
        verdict = "record wrong"
    elif rc != 0 and held and not excused:
        verdict = "false fail"
    else:
        verdict = "pass" if rc == 0 else "fail"
    outcome["verdict"] = verdict
    outcome["output"] = out
    shutil.rmtree(station, ignore_errors=True)
    shutil.rmtree(vm.dir, ignore_errors=True)
    return outcome


def describe(o):
    return "exit %s, %.1f s of %.0f s, fault %s, mode %s, images %s\n  flint %s" % (
        o["rc"], o["seconds"], o["bound"], o["fault"], o["mode"], " ".join(o["images"]), o["args"])


def main():
    a = report.arguments(__doc__)
    if not harness.FLINT or not harness.VMODULE:
        sys.exit("FLINT and VMODULE must name flint and the virtual module")
    return report.run_all("campaign", one_run, a, describe)


if __name__ == "__main__":
    sys.exit(main())
