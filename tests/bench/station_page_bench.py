#!/usr/bin/env python3
"""The status page's cost: two flint-gang loops over the same 8 byte-paced
virtual modules with flash times (the 256 KiB job of gang_bench), one plain,
one with --http and the page open in headless Chromium, their cycles taken in
turn (A, B, A, B...) so both meet the same machine. Prints each loop's median
cycle time and their ratio, and how long after each flint's end the page
showed the slot's verdict: from the process end as flint-gang saw it (the
start and duration of its run in the station database), and from the last write to the slot's log
(flint's last line, before it closes its port and exits); the showing is the
time the page's script drew the verdict, all by this machine's wall clock.

    tests/bench/station_page_bench.py [ROUNDS]   (default 5; the build in build/)

Environment: FLINT, FLINT_GANG, VMODULE (default: build/flint, build/flint-gang,
build/vmodule), CHROMIUM.
"""
import datetime
import os
import re
import shutil
import statistics
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
BUILD = os.path.join(ROOT, "build")
for name, exe in (("FLINT", "flint"), ("FLINT_GANG", "flint-gang"), ("VMODULE", "vmodule")):
    os.environ.setdefault(name, os.path.join(BUILD, exe))
os.environ.setdefault("E2E_TMP", tempfile.mkdtemp(prefix="station_page_bench_"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import browser  # noqa: E402
import harness  # noqa: E402
from test_station_page import PAGE_LINE, Gang, cycle_line, http  # noqa: E402

MODULES = 8
IMAGE_BYTES = 256 * 1024
JOB = ["-e", "-p", "-v", "-A", "0x800000", "-S", "0x%X" % IMAGE_BYTES, "-F", "app.bin"]
NEXT = re.compile(r"^flint-gang: Enter")


def station_folder():
    folder = harness.scratch_dir("bench")
    for exe in (os.environ["FLINT"], os.environ["FLINT_GANG"]):
        shutil.copy(exe, folder)
    harness.make_fw_dir(os.path.join(folder, "fw"))
    with open(os.path.join(folder, "app.bin"), "wb") as f:
        f.write(bytes((2 + i * 31 + (i >> 9)) & 0xFF for i in range(IMAGE_BYTES)))
    return folder


def start(folder, ports, logs, *words):
    gang = Gang([os.path.join(folder, "flint-gang"), "-c", ",".join(ports), "--logs", logs, "--loop"] + JOB
                + list(words), cwd=folder)
    return gang


def cycle(gang, n):
    """Starts cycle n (n > 1: by Enter) and waits for its summary; its seconds."""
    begun = time.monotonic()
    if n > 1:
        gang.type("\n")
    gang.wait_line(cycle_line(n), timeout=600)
    seconds = time.monotonic() - begun
    gang.wait_line(NEXT)
    return seconds


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    folder = station_folder()
    modules = [harness.VModule(["--pace", "--flash-times", "--reset-on-close"]).start() for _ in range(MODULES)]
    ports = [m.port for m in modules]
    # Each loop keeps its own station database: the page counts its own cycles.
    plain = start(folder, ports, "logs-a", "--db", "sqlite:a.db")
    try:
        cycle(plain, 1)
        paged = start(folder, ports, "logs-b", "--db", "sqlite:b.db", "--http", "127.0.0.1:0")
        url = paged.wait_line(PAGE_LINE).group(1)
        cycle(paged, 1)
        with browser.Browser(folder) as page:
            page.open(url)
            a, b, delays = [], [], []
            for n in range(2, rounds + 2):
                a.append(cycle(plain, n))
                since = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"
                b.append(cycle(paged, n))
                delays += slot_delays(page, url, folder, ports, n, since)
        for gang in (plain, paged):
            gang.type("q\n")
            gang.end()
    finally:
        for m in modules:
            m.stop()
    ma, mb = statistics.median(a), statistics.median(b)
    print("cycle of %d modules, %d KiB each, %d rounds: without the page %.3f s, with --http and the page open "
          "%.3f s (medians); ratio %.4f" % (MODULES, IMAGE_BYTES // 1024, rounds, ma, mb, mb / ma))
    for what, k in (("the process end flint-gang saw", 0), ("the log's last write", 1)):
        values = [d[k] for d in delays]
        print("verdict on the page after %s: median %.0f ms, max %.0f ms over %d slots"
              % (what, statistics.median(values), max(values), len(values)))
    shutil.rmtree(os.environ["E2E_TMP"], ignore_errors=True)


def slot_delays(page, url, folder, ports, n, since):
    """For each slot of cycle n, ms to its verdict on the page from its flint's
    end: (from the process end as flint-gang saw it, from the log's last write)."""
    page.wait_for("document.querySelector('[data-counter=cycles] b').textContent === '%d' && "
                  "[...document.querySelectorAll('.tile')].every(t => t.dataset.state === 'passed' || "
                  "t.dataset.state === 'failed')" % n)
    shown = page.evaluate("[...document.querySelectorAll('.tile')].map(t => Number(t.dataset.verdictShown))")
    _, records = http(url + "api/records?limit=%d" % MODULES)
    ended = {r["slot"]: iso_ms(r["start"]) + r["duration_ms"] for r in records if r["start"] >= since}
    logs = os.path.join(folder, "logs-b", "cycle-%d" % n)
    out = []
    for slot, ms in enumerate(shown):
        name = re.sub(r"[^A-Za-z0-9._-]", "_", ports[slot]).lstrip("_.") + ".log"
        out.append((ms - ended[slot + 1], ms - os.stat(os.path.join(logs, name)).st_mtime_ns / 1e6))
    return out


def iso_ms(text):
    """Epoch milliseconds of "2026-12-10T15:58:49.123Z"."""
    when = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    return when.timestamp() * 1000


if __name__ == "__main__":
    main()
