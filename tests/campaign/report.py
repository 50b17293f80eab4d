"""What both fault campaigns report: one line per run that is not as it
should be, the table of outcomes per fault kind, and the closing line.

A run's verdict is one of VERDICTS; a sanitizer report counts on top of it.
"""
import time

# "record wrong": a run record missing, cut, or at odds with the run (flint's campaign).
VERDICTS = ["pass", "fail", "FALSE PASS", "false fail", "hang", "record wrong"]
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:")


def sanitizer_said(output):
    return any(m in output for m in SANITIZER_MARKS)


def is_bad(o):
    return o["verdict"] not in ("pass", "fail") or o["sanitizer"]


def table(outcomes):
    cols = VERDICTS + ["sanitizer"]
    kinds = sorted({o["kind"] for o in outcomes})
    lines = ["%-12s %5s %6s %6s %10s %10s %5s %12s %9s %7s" % ("fault", "runs", *cols, "max s")]
    for kind in kinds + ["all"]:
        rows = [o for o in outcomes if kind == "all" or o["kind"] == kind]
        counts = [sum(1 for o in rows if o["verdict"] == c) for c in VERDICTS]
        counts.append(sum(1 for o in rows if o["sanitizer"]))
        lines.append("%-12s %5d %6d %6d %10d %10d %5d %12d %9d %7.1f"
                     % (kind, len(rows), *counts, max((o["seconds"] for o in rows), default=0)))
    return "\n".join(lines)


def close(name, outcomes, seed, first, runs, started):
    """Prints the table and the closing line; the exit status: 1 when a run
    passed falsely, hung or met a sanitizer report."""
    outcomes.sort(key=lambda o: o["index"])
    print(table(outcomes))
    count = {v: sum(1 for o in outcomes if o["verdict"] == v) for v in VERDICTS}
    sanitizer = sum(1 for o in outcomes if o["sanitizer"])
    print("%s: %d runs (seed %d, runs %d to %d) in %.0f s: %d false pass(es), %d hang(s), "
          "%d sanitizer report(s), %d false fail(s), %d wrong record(s)"
          % (name, len(outcomes), seed, first, first + runs - 1, time.monotonic() - started,
             count["FALSE PASS"], count["hang"], sanitizer, count["false fail"], count["record wrong"]))
    return 1 if count["FALSE PASS"] or count["hang"] or count["record wrong"] or sanitizer else 0


def arguments(description):
    """The command line both campaigns take."""
    import argparse
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("runs", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--verbose", action="store_true")
    return parser.parse_args()


def run_all(name, one_run, a, describe):
    """Runs one_run(seed, index) for every run of the command line `a`, J at
    a time; prints describe(outcome) for every run that is not as it should
    be (every run with --verbose) and its output's last lines, then the
    table. The exit status of close()."""
    import concurrent.futures
    started = time.monotonic()
    outcomes = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=a.jobs) as pool:
        runs = [pool.submit(one_run, a.seed, i) for i in range(a.first, a.first + a.runs)]
        for future in concurrent.futures.as_completed(runs):
            o = future.result()
            outcomes.append(o)
            bad = is_bad(o)
            if bad or a.verbose:
                print("run %d (seed %d): %s%s, %s" % (o["index"], a.seed, o["verdict"],
                                                       " + sanitizer" if o["sanitizer"] else "", describe(o)),
                      flush=True)
                if bad:
                    print("  " + "\n  ".join(o["output"].splitlines()[-12:]), flush=True)
    return close(name, outcomes, a.seed, a.first, a.runs, started)
