"""The calibration chain through the real library: what each request carries
(the stored replies forwarded unchanged, the channel, the parameter, the MAC
address), the result byte, the rules of the stored replies, and the example
station program against simulated golden samples and DUTs."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import tunerlib_harness as th  # noqa: E402
from tunerlib_harness import Driver, Sim  # noqa: E402


def setUpModule():
    why = th.available()
    if why:
        raise unittest.SkipTest(why)


def code(result):
    return int(result.split()[1])


def payload(reply):
    return reply[8:-2]


def replies(sim, index):
    return [bytes.fromhex(l.split(" tx ", 1)[1].replace(" ", ""))
            for l in sim.log_lines() if l.startswith("%d tx " % index)]


class Chain(unittest.TestCase):
    def start(self, sim, d, lines=("build", "ports 4 16", "open_golden 0", "open_dut 1")):
        for line in lines:
            self.assertIn(code(d.call(line)[1]), (0,), line)

    def test_each_request_carries_the_reply_before_it(self):
        with Sim("golden,payload=20", "dut,payload=30") as sim, Driver(sim.names()) as d:
            self.start(sim, d)
            self.assertEqual(d.call("golden 5"),
                             (["GetGoldenInfo: Send data 87, 12, 11, 05, 11, %02X, %02X)" %
                               tuple(th.request(0x12, [5, 0x11])[5:])], "GetGoldenInfo 0"))
            self.assertEqual(code(d.call("dut")[1]), 0)
            self.assertEqual(code(d.call("verify")[1]), 0)
            _, result = d.call("calibrate 0xA7")
            golden_rx, dut_rx = sim.requests(0), sim.requests(1)
            golden_tx, dut_tx = replies(sim, 0), replies(sim, 1)
            self.assertEqual(golden_rx[0], th.request(0x12, [5, 0x11]))
            self.assertEqual(dut_rx[0], th.request(0x13, payload(golden_tx[0])))
            self.assertEqual(golden_rx[1], th.request(0x14, payload(dut_tx[0])))
            self.assertEqual(dut_rx[1], th.request(0x15, payload(golden_tx[1]) + bytes([5, 0xA7])))
            self.assertEqual(len(dut_rx[1]), 30 + 7)
            # The result is the first byte of the calibrate reply's payload.
            self.assertEqual(result, "StartDUTCalibrate 0 result=%02X" % dut_tx[1][8])
            self.assertEqual(d.call("mac 0102030405A6 6")[1], "SetDUTMacAddress 0")
            self.assertEqual(sim.requests(1)[-1], th.request(0x18, bytes.fromhex("0102030405A6")))
            self.assertEqual(len(sim.requests(1)[-1]), 11)
            self.assertEqual(d.call("reboot")[1], "RebootGoldenSample 0")
            self.assertEqual(sim.requests(0)[-1], bytes.fromhex("8717117FD5"))
            d.call("release")

    def test_an_empty_golden_payload_makes_a_five_byte_dut_request(self):
        with Sim("golden,payload=0", "dut") as sim, Driver(sim.names()) as d:
            self.start(sim, d)
            d.call("golden 0")
            req = th.request(0x13)
            self.assertEqual(d.call("dut"), (["GetDUTInfo: Send data 87, 13, 11, %02X, %02X, 00, 00, 00)" %
                                              (req[3], req[4])], "GetDUTInfo 0"))
            self.assertEqual(sim.requests(1), [req])
            d.call("release")

    def test_channel_range_and_the_channel_the_calibration_uses(self):
        with Sim("golden", "dut") as sim, Driver(sim.names()) as d:
            self.start(sim, d)
            self.assertEqual(code(d.call("golden 39")[1]), 0)
            self.assertEqual(d.call("golden 40"), (["GetGoldenInfo: input channel(40) illegal"], "GetGoldenInfo -1"))
            # Refused: no request, the record and the channel stay.
            self.assertEqual(len(sim.requests(0)), 1)
            self.assertEqual(code(d.call("dut")[1]), 0)
            self.assertEqual(code(d.call("verify")[1]), 0)
            self.assertEqual(code(d.call("calibrate 1")[1]), 0)
            self.assertEqual(sim.requests(1)[-1][-4:-2], bytes([39, 1]))
            d.call("release")

    def test_a_failed_step_leaves_no_reply_for_the_next(self):
        cases = [
            # (modules, steps before, failing step, next step and its line)
            (["golden,fault=golden:status=3", "dut"], [], "golden 0",
             ("dut", "GetDUTInfo: Get DUT info failed (0)", "GetDUTInfo -1")),
            (["golden", "dut,fault=dut:badcrc"], ["golden 0"], "dut",
             ("verify", "VefifyDUTInfo: Get DUT info failed (0)", "VefifyDUTInfo -1")),
            (["golden,fault=verify:type", "dut"], ["golden 0", "dut"], "verify",
             ("calibrate 0", "StartDUTCalibrate: Get golden sample info failed (0)",
              "StartDUTCalibrate -1 result=EE")),
        ]
        for modules, before, failing, (nxt, line, result) in cases:
            with self.subTest(failing=failing):
                with Sim(*modules) as sim, Driver(sim.names()) as d:
                    self.start(sim, d)
                    for step in before:
                        self.assertEqual(code(d.call(step)[1]), 0)
                    self.assertLess(code(d.call(failing)[1]), 0)
                    d.call("sleep 300")
                    self.assertEqual(d.call(nxt), ([line], result))
                    d.call("release")

    def test_calibrate_before_verify_and_a_failed_calibrate_write_no_result(self):
        with Sim("golden", "dut,fault=calibrate:status=4") as sim, Driver(sim.names()) as d:
            self.start(sim, d)
            self.assertEqual(d.call("calibrate 0"),
                             (["StartDUTCalibrate: Get golden sample info failed (0)"], "StartDUTCalibrate -1 result=EE"))
            for step in ("golden 0", "dut", "verify"):
                d.call(step)
            # Without a place for the result nothing is sent.
            sent = len(sim.requests(1))
            self.assertEqual(d.call("calibrate 0 null"),
                             (["StartDUTCalibrate: lpbResult == NULL"], "StartDUTCalibrate -1 result=EE"))
            self.assertEqual(len(sim.requests(1)), sent)
            logs, result = d.call("calibrate 0")
            self.assertEqual(result, "StartDUTCalibrate -9 result=EE")
            self.assertEqual(logs[1:], ["StartDUTCalibrate: Calibrate failed, status(4)"])
            # The verify reply stays: the calibration can run again.
            self.assertEqual(code(d.call("calibrate 0")[1]), 0)
            d.call("release")

    def test_the_golden_reply_outlives_a_reboot(self):
        with Sim("golden", "dut") as sim, Driver(sim.names()) as d:
            self.start(sim, d)
            d.call("golden 7")
            self.assertEqual(d.call("reboot")[1], "RebootGoldenSample 0")
            self.assertEqual(code(d.call("dut")[1]), 0)
            self.assertEqual(sim.requests(1)[-1], th.request(0x13, payload(replies(sim, 0)[0])))
            d.call("release")

    def test_chain_wall_time_is_its_pauses_and_the_wire(self):
        with Sim("golden,payload=100", "dut,payload=100", pace=True) as sim, Driver(sim.names()) as d:
            self.start(sim, d)
            total = 0.0
            for step in ("golden 1", "dut", "verify", "calibrate 2"):
                total += float(d.call("t " + step)[1].split(" ms=")[1])
            # 50 + 50 + 200 + 1500 ms of pauses; about 65 ms on the wire.
            self.assertGreaterEqual(total, 1800)
            self.assertLess(total, 1800 + 65 + 1000)
            d.call("release")


class Station(unittest.TestCase):
    def test_the_example_station_calibrates_every_dut(self):
        with Sim("golden", "silent", "dut", "dut2,result=0x5C") as sim:
            env = dict(os.environ)
            env.update(th.set_port_list(sim.names()))
            if th.UNDER_WINE:
                env.update(harness.wine_env())
                cmd = [harness.WINE, th.STATION, th.LIBRARY]
                cwd = os.path.dirname(th.STATION)
            else:
                env["TUNERLIB_LOG"] = os.path.join(sim.dir, "tunerlib.log")
                cmd = [th.STATION, th.LIBRARY]
                cwd = None
            proc = subprocess.run(cmd + ["12", "3"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  env=env, cwd=cwd, timeout=120)
            out = proc.stdout.decode(errors="replace").replace("\r", "")
            self.assertEqual(proc.returncode, 0, out)
            results = [bytes([sum(r[3:-2]) & 0xFF]) for r in sim.requests(2) if r[1] == 0x15]
            self.assertEqual(len(results), 1, sim.log_lines())
            names = sim.names()
            expected = [
                "BuildCalibrateModule: 0", "ReturnLPCWCHAR: 0", "text: hello world!", "GetComPortInfo: 0",
                "port 0: %s" % names[0], "port 1: %s" % names[1], "port 2: %s" % names[2],
                "port 3: %s" % names[3],
                "FindDevicePortId: 0", "golden sample on port id 0", "DUT on port id 2 found",
                "DUT on port id 3 found", "OpenGoldenSamplePort: 0",
                "DUT on port id 2", "OpenDUTPort: 0", "SetDUTMacAddress: 0", "GetGoldenInfo: 0",
                "GetDUTInfo: 0", "VefifyDUTInfo: 0", "StartDUTCalibrate: 0",
                "calibration result: 0x%02X" % results[0][0], "CloseDUTPort: 0",
                "DUT on port id 3", "OpenDUTPort: 0", "SetDUTMacAddress: 0", "GetGoldenInfo: 0",
                "GetDUTInfo: 0", "VefifyDUTInfo: 0", "StartDUTCalibrate: 0", "calibration result: 0x5C",
                "CloseDUTPort: 0", "RebootGoldenSample: 0", "CloseGoldenSamplePort: 0",
                "ReleaseCalibrateModule: 0", "station: all calls succeeded"]
            self.assertEqual(out.splitlines(), expected)
            # Both DUTs got their own MAC address; the second DUT's type went to the golden sample.
            self.assertEqual(sim.requests(2)[1], th.request(0x18, bytes.fromhex("001A7DDA7100")))
            self.assertEqual(sim.requests(3)[1], th.request(0x18, bytes.fromhex("001A7DDA7101")))
            self.assertEqual([r for r in sim.requests(0) if r[1] == 0x12],
                             [th.request(0x12, [12, 0x21])] * 2)
            if not th.UNDER_WINE:
                with open(env["TUNERLIB_LOG"]) as f:
                    log = f.read().splitlines()
                self.assertIn("FindDevicePortId:  ReadFile portId(1) less than 8 bytes (0), try once", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
