"""The exchange's failures and retries, operation by operation: one
simulated module answers the operation's requests with a different fault
each time (fault rules with COUNT 1 and SKIP k), and every call's result code
and log lines are compared with the expected ones exactly."""
import tunerlib_harness as th
from tunerlib_harness import Driver, Sim

# name, command, module index (0 golden sample, 1 DUT), simulator op,
# "Rcv"/"Recv", blanks of the header-retry line, values of the sent line,
# status text, EventLen of a complete reply, what must run first.
OPERATIONS = {
    "golden": ("GetGoldenInfo", "golden 0", 0, "golden", "Rcv", " ", 7,
               "Get Golden Info failed, status(%d)", 26, []),
    "dut": ("GetDUTInfo", "dut", 1, "dut", "Recv", "  ", 8, "Get DUT Info failed, status(%d)", 26,
            ["golden 0"]),
    "verify": ("VefifyDUTInfo", "verify", 0, "verify", "Recv", "  ", 8,
               "Verfiy DUT Info failed, status(%d)", 26, ["golden 0", "dut"]),
    "calibrate": ("StartDUTCalibrate", "calibrate 9", 1, "calibrate", "Recv", "  ", 8,
                  "Calibrate failed, status(%d)", 11, ["golden 0", "dut", "verify"]),
    "reboot": ("RebootGoldenSample", "reboot", 0, "reboot", "Rcv", " ", 5,
               "Get Golden Info failed, status(%d)", 10, []),
    "mac": ("SetDUTMacAddress", "mac 0A0B0C0D0E0F 6", 1, "mac", "Rcv", " ", 5,
            "Get Golden Info failed, status(%d)", 10, []),
}

# Fault, failure number (0: success), expected lines after the sent line.
# {n} the operation's name, {rcv}, {gap}, {el} its EventLen; "DUMP" and
# "CRC" stand for the dump and CRC lines of the reply as sent.
FAULTS = [
    ("type", 5, ["{n}: {rcv} packet type is 0x78"]),
    ("badcrc", 8, ["DUMP", "CRC"]),
    ("crcswap", 8, ["DUMP", "CRC"]),
    ("status=5", 9, ["STATUS5"]),
    ("split=3", 0, ["{n}:{gap}ReadFile less than 8 bytes (3), try once"]),
    ("split=2/5", 4, ["{n}:{gap}ReadFile less than 8 bytes (2), try once",
                      "{n}: ReadFile less than 8 bytes (5), failed"]),
    ("split=9", 0, ["{n}: ReadFile bytes(9) less than EventLen({el}), try once"]),
    ("short=9", 7, ["{n}: ReadFile bytes(9) less than EventLen({el}), try once"]),
    ("len=247", 5, ["{n}: {rcv} payload length (247) too long, at most 246"]),
    ("silence", 4, ["{n}:{gap}ReadFile less than 8 bytes (0), try once",
                    "{n}: ReadFile less than 8 bytes (0), failed"]),
]


def result_code(result):
    return int(result.split()[1])


def code_of(op, failure):
    """GetGoldenInfo: F1 -2 ... F10 -11; the others F1 -1 ... F10 -10."""
    if failure == 0:
        return 0
    return -(failure + 1) if op == "golden" else -failure


def sent_line(name, values, request):
    shown = (bytes(request) + bytes(8))[:values]
    return "%s: Send data %s)" % (name, ", ".join("%02X" % b for b in shown))


def last_reply(sim, index):
    tx = [l for l in sim.log_lines() if l.startswith("%d tx " % index)]
    return bytes.fromhex(tx[-1].split(" tx ", 1)[1].replace(" ", ""))


def setup_lines(op):
    return ["build", "ports 4 16", "open_golden 0", "open_dut 1"] + OPERATIONS[op][9]


class ExchangeCases:
    """Mixed into a unittest.TestCase."""

    def run_fault_sequence(self, op):
        name, cmd, index, sim_op, rcv, gap, values, status, event_len, _ = OPERATIONS[op]
        rules = ",".join("fault=%s:%s:1:%d" % (sim_op, kind, k) for k, (kind, _, _) in enumerate(FAULTS))
        modules = ["golden", "dut"]
        # The calibrate request's pause (1.5 s) would hide the pieces of a
        # split reply: they leave once the pause is over.
        modules[index] += ("," + rules) + (",split-delay=1600" if op == "calibrate" else "")
        # The last byte of a 10-byte reply on the golden-sample port is
        # waited for 130 ms (100 ms a byte + 30 ms): its piece comes sooner.
        if event_len == 10 and index == 0:
            modules[index] += ",split-gap=90"
        with Sim(*modules) as sim, Driver(sim.names()) as d:
            for line in setup_lines(op):
                self.assertTrue(d.call(line)[1].split()[1] in ("0", "n=4"), line)
            for kind, failure, lines in FAULTS + [("none", 0, [])]:
                with self.subTest(op=op, fault=kind):
                    logs, result = d.call(cmd)
                    self.assertEqual(result_code(result), code_of(op, failure), (result, logs))
                    self.assertEqual(logs[0], sent_line(name, values, sim.requests(index)[-1]))
                    expected = []
                    for text in lines:
                        if text == "DUMP":
                            r = last_reply(sim, index)
                            expected.append(":".join("%02x" % b for b in r[:10]))
                        elif text == "CRC":
                            r = last_reply(sim, index)
                            expected.append("%s: ReadFile crc check failed, calc rc(%02x): rcv crc(%02x)" %
                                            (name, th.crc16(r[:-2]), r[-2] | r[-1] << 8))
                        elif text == "STATUS5":
                            expected.append("%s: %s" % (name, status % 5))
                        else:
                            expected.append(text.format(n=name, rcv=rcv, gap=gap, el=event_len))
                    self.assertEqual(logs[1:], expected)
                if failure != 0:
                    # What is left of a failed reply arrives before the next
                    # request, whose purge discards it.
                    d.call("sleep 600")
            d.call("release")

    def run_port_not_open(self, op):
        """F1: the operation's port is closed (its reply records are there)."""
        name, cmd, index, _, _, _, _, _, _, before = OPERATIONS[op]
        with Sim("golden", "dut") as sim, Driver(sim.names()) as d:
            for line in setup_lines(op):
                d.call(line)
            d.call("close_golden" if index == 0 else "close_dut")
            self.assertEqual(d.call(cmd)[0], ["%s: Open port first" % name])
            self.assertEqual(result_code(d.call(cmd)[1]), code_of(op, 1))
            d.call("release")

    def run_hangup(self, op):
        """The module's line hangs up: F10 on the header read, then F2 on the
        next write; a line that hangs up after the header: F6."""
        name, cmd, index, sim_op, _, _, values, _, event_len, _ = OPERATIONS[op]
        modules = ["golden", "dut"]
        modules[index] += ",fault=%s:hangup" % sim_op
        with Sim(*modules) as sim, Driver(sim.names()) as d:
            for line in setup_lines(op):
                d.call(line)
            logs, result = d.call(cmd)
            self.assertEqual(result_code(result), code_of(op, 10))
            self.assertEqual(len(logs), 2, logs)
            self.assertRegex(logs[1], r"^%s: ReadFile failed \(\d+\)$" % name)
            logs, result = d.call(cmd)
            self.assertEqual(result_code(result), code_of(op, 2))
            self.assertEqual(len(logs), 1, logs)
            self.assertRegex(logs[0], r"^%s: WriteFile failed \(\d+\)$" % name)
            d.call("release")
        modules = ["golden", "dut"]
        modules[index] += ",fault=%s:hangup-after=8" % sim_op
        with Sim(*modules) as sim, Driver(sim.names()) as d:
            for line in setup_lines(op):
                d.call(line)
            logs, result = d.call(cmd)
            self.assertEqual(result_code(result), code_of(op, 6))
            self.assertEqual(logs[1:], ["%s: ReadFile no more event len data (%d), read only 8 bytes" %
                                        (name, event_len)])
            d.call("release")

