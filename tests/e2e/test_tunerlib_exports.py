"""The calibration library's exports through the real library loaded at run
time: the module guard and argument checks, the fixed text, the module's
life, the port map (refresh, copy-out, vanished and duplicate ports, opens)
and the identification probe, against simulated golden samples and DUTs."""
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tunerlib_harness as th  # noqa: E402
from tunerlib_harness import Driver, Sim  # noqa: E402

GUARDED = [
    ("ports 4 16", "GetComPortInfo"),
    ("find 4 4", "FindDevicePortId"),
    ("open_golden 0", "OpenGoldenSamplePort"),
    ("close_golden", "CloseGoldenSamplePort"),
    ("open_dut 0", "OpenDUTPort"),
    ("close_dut", "CloseDUTPort"),
    ("golden 0", "GetGoldenInfo"),
    ("dut", "GetDUTInfo"),
    ("verify", "VefifyDUTInfo"),
    ("calibrate 0", "StartDUTCalibrate"),
    ("reboot", "RebootGoldenSample"),
]
MAC_LINE = "SetDUTMacAddress: lpMACBuf == NULL || len != 6"
PROBE_SEND = "FindDevicePortId: Send portId(%d) data 87, 16, 11, 7E, 45)"


def result_code(result):
    return int(result.split()[1])


def setUpModule():
    why = th.available()
    if why:
        raise unittest.SkipTest(why)


class GuardsAndArguments(unittest.TestCase):
    def test_every_guarded_export_before_build_gives_minus_11_with_its_line(self):
        with Driver() as d:
            for line, name in GUARDED:
                with self.subTest(name=name):
                    logs, result = d.call(line)
                    self.assertEqual(result_code(result), -11, result)
                    self.assertEqual(logs, ["%s: Please build module first" % name])

    def test_set_mac_checks_its_arguments_before_the_module(self):
        with Driver() as d:
            cases = [("mac 112233445566 6", [], -11),         # valid, no module: no line
                     ("mac 112233445566 5", [MAC_LINE], -11),
                     ("mac null 6", [MAC_LINE], -11)]
            for line, lines, code in cases:
                with self.subTest(line=line, built=False):
                    logs, result = d.call(line)
                    self.assertEqual((logs, result_code(result)), (lines, code))
            d.call("build")
            logs, result = d.call("mac 112233445566 5")
            self.assertEqual((logs, result_code(result)), ([MAC_LINE], -11))
            d.call("release")

    def test_return_lpcwchar_copies_at_most_the_text_and_a_terminator(self):
        # '0' shows the terminator, '#' what stayed untouched.
        cases = [("hello 5", [], "ReturnLPCWCHAR 0 buf=hello0##############"),
                 ("hello 100", [], "ReturnLPCWCHAR 0 buf=hello world!0#######"),
                 ("hello 12", [], "ReturnLPCWCHAR 0 buf=hello world!0#######"),
                 ("hello 0", [], "ReturnLPCWCHAR 0 buf=0###################"),
                 ("hello null", ["ReturnLPCWCHAR: log == NULL"], "ReturnLPCWCHAR -1 buf=####################")]
        with Driver() as d:
            for line, lines, expected in cases:
                with self.subTest(line=line):
                    self.assertEqual(d.call(line), (lines, expected))

    def test_find_refuses_null_buffers_and_zero_capacities_without_probing(self):
        with Sim("golden") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 4 16")
            line = ("FindDevicePortId: lpbGoldenBuf == NULL || lpbDUTBuf == NULL || "
                    "bGoldenNum == 0 || bDUTNum == 0")
            # A null count pointer is refused like a capacity of 0.
            for args in ("0 4", "4 0", "4 4 nullgolden", "4 4 nulldut", "4 4 nullcount"):
                with self.subTest(args=args):
                    logs, result = d.call("find " + args)
                    self.assertEqual((logs, result_code(result)), ([line], -1))
            d.call("release")
            self.assertEqual(sim.requests(0), [])


class ModuleLife(unittest.TestCase):
    def test_second_build_keeps_the_module_and_release_starts_afresh(self):
        with Sim("golden", "dut2") as sim, Driver(sim.names()) as d:
            self.assertEqual(d.call("release"), ([], "ReleaseCalibrateModule 0"))
            self.assertEqual(d.call("build"), ([], "BuildCalibrateModule 0"))
            d.call("ports 4 16")
            d.call("find 4 4")  # a DUT of the second type: DUT type 0x21
            d.call("open_golden 0")
            d.call("open_dut 1")
            self.assertEqual(result_code(d.call("golden 5")[1]), 0)
            self.assertEqual(d.call("build"),
                             (["BuildCalibrateModule: Module has been built"], "BuildCalibrateModule 0"))
            # Port map, open ports and the stored golden reply are still there.
            self.assertTrue(d.call("ports 0 16")[1].startswith("GetComPortInfo 0"))
            self.assertEqual(result_code(d.call("dut")[1]), 0)
            self.assertEqual(d.call("release"), ([], "ReleaseCalibrateModule 0"))
            d.call("build")
            self.assertEqual(d.call("find 4 4")[0], ["FindDevicePortId: No port attached"])
            self.assertEqual(d.call("dut"), (["GetDUTInfo: Get DUT info failed (0)"], "GetDUTInfo -1"))
            # The ports were closed by the release: they open again.
            d.call("ports 4 16")
            self.assertEqual(d.call("open_golden 0"), ([], "OpenGoldenSamplePort 0"))
            # The DUT type is 0x11 again: no probe has run in the new module.
            d.call("golden 0")
            self.assertEqual(sim.requests(0)[-1], bytes.fromhex("87 12 11 00 11 21 6F"))
            d.call("release")


class PortMap(unittest.TestCase):
    def refresh_lines(self, names, index_of_first=0):
        return (["DetectAttachedPorts: subkeys number: 0, key values num %d" % len(names)] +
                self.value_lines(names, index_of_first))

    def value_lines(self, names, first=0):
        out = []
        for k, name in enumerate(names):
            value = ("\\Device\\Sim%d" % (k + first)) if th.UNDER_WINE else "/dev/" + name
            out.append("DetectAttachedPorts: (%d) name: %s, type: 1, data: %s" % (k, value, name))
        return out

    def test_calls_from_two_threads_run_one_after_the_other(self):
        # One thread releases, builds and reads the ports while another reads
        # them: no call may use a module released under it, and each call's
        # log lines stand together.
        with Sim("golden", "dut") as sim, Driver(sim.names()) as d:
            names = sim.names()
            logs, result = d.call("together 300 release + build + ports 4 16 / ports 4 16")
            listed = "GetComPortInfo 0 n=2 names=" + "|".join(names)
            # b's last call may come between the release and the build: -11, its buffers untouched.
            self.assertRegex(result, "^together 0 a=%s b=(%s|GetComPortInfo -11 n=4( names=[#|]*)?)$"
                             % (re.escape(listed), re.escape(listed)))
            refresh = self.refresh_lines(names)
            logs = [line for line in logs if not line.startswith("SearchAndInsertPortMap: ")]
            starts = [k for k, line in enumerate(logs) if line == refresh[0]]
            self.assertGreaterEqual(len(starts), 300)
            for k in starts:
                self.assertEqual(logs[k:k + len(refresh)], refresh)
            rc, rest = d.close()
            self.assertEqual(rc, 0, rest[-2000:])

    def test_copy_out_rules(self):
        with Sim("golden", "dut", "silent") as sim, Driver(sim.names()) as d:
            names = sim.names()
            d.call("build")
            cases = [("ports 0 16", "GetComPortInfo 0 n=0"),
                     ("ports 3 16 null", "GetComPortInfo 0 n=3"),
                     ("ports 3 16 nullcount", "GetComPortInfo 0 n=3 names=" + "|".join(["#" * 16] * 3)),
                     ("ports 2 0", "GetComPortInfo 0 n=2"),
                     ("ports 2 16", "GetComPortInfo 0 n=2 names=%s" % "|".join(names[:2])),
                     ("ports 9 16", "GetComPortInfo 0 n=3 names=%s" % "|".join(names))]
            first = True
            for line, expected in cases:
                with self.subTest(line=line):
                    logs, result = d.call(line)
                    self.assertEqual(result, expected)
                    self.assertEqual(logs[0], "DetectAttachedPorts: subkeys number: 0, key values num 3")
                    finds = [l for l in logs if "find PortName" in l]
                    # After the first refresh every port is logged as found once.
                    self.assertEqual(finds, [] if first else
                                     ["SearchAndInsertPortMap: find PortName %s" % n for n in names])
                    first = False
            d.call("release")

    def test_a_vanished_port_moves_the_later_ones_down_and_a_new_one_is_appended(self):
        with Sim("golden", "dut", "silent", "dut2") as sim:
            a, b, c, e = sim.names()
            with Driver([a, b, c]) as d:
                d.call("build")
                self.assertEqual(d.call("ports 8 16")[1], "GetComPortInfo 0 n=3 names=%s|%s|%s" % (a, b, c))
                env = th.set_port_list([a, c, e])
                if env:
                    d.call("env TUNERLIB_SERIAL_PORTS %s" % env["TUNERLIB_SERIAL_PORTS"])
                self.assertEqual(d.call("ports 8 16")[1], "GetComPortInfo 0 n=3 names=%s|%s|%s" % (a, c, e))
                # Ids follow: 0 golden, 1 the silent port, 2 the second-type DUT.
                self.assertEqual(d.call("t find 4 4")[1].split(" ms=")[0],
                                 "FindDevicePortId 0 golden=0 gn=1 dut=2 dn=1")
                d.call("release")

    def test_the_same_name_twice_is_stored_once(self):
        with Sim("golden", "dut") as sim:
            a, b = sim.names()
            with Driver([a, a, b]) as d:
                d.call("build")
                logs, result = d.call("ports 8 16")
                self.assertEqual(result, "GetComPortInfo 0 n=2 names=%s|%s" % (a, b))
                self.assertEqual(logs, self.refresh_lines([a, a, b])[:3] +
                                 ["SearchAndInsertPortMap: find PortName %s" % a] * 2 +
                                 self.refresh_lines([a, a, b])[3:])
                d.call("release")

    def test_an_empty_port_list_empties_the_map(self):
        with Sim("golden") as sim:
            a, = sim.names()
            with Driver([a]) as d:
                d.call("build")
                d.call("ports 4 16")
                env = th.set_port_list([])
                if env:
                    d.call("env TUNERLIB_SERIAL_PORTS")
                self.assertEqual(d.call("ports 4 16"),
                                 (["DetectAttachedPorts: subkeys number: 0, key values num 0"],
                                  "GetComPortInfo 0 n=0 names="))
                self.assertEqual(d.call("open_golden 0"),
                                 (["GetPortMapNameByIndex: Invalid 0", "OpenGoldenSamplePort: Get port name failed"],
                                  "OpenGoldenSamplePort -1"))
                self.assertEqual(d.call("open_dut 3"),
                                 (["GetPortMapNameByIndex: Invalid 3", "OpenDUTPort: Get port name failed"],
                                  "OpenDUTPort -1"))
                d.call("release")

    @unittest.skipUnless(th.UNDER_WINE, "the registry's serial device map exists on Windows only")
    def test_no_serial_device_map_empties_the_map_with_minus_2(self):
        with Sim("golden") as sim:
            with Driver(sim.names()) as d:
                d.call("build")
                d.call("ports 4 16")
                th.remove_port_list()
                try:
                    self.assertEqual(d.call("ports 4 16"),
                                     (["DetectAttachedPorts: RegOpenKeyEx failed, retCode 2"],
                                      "GetComPortInfo -2 n=4 names=################|################|"
                                      "################|################"))
                    self.assertEqual(d.call("find 4 4")[0], ["FindDevicePortId: No port attached"])
                    d.call("release")
                    d.close()
                finally:
                    th.restore_port_list()

    @unittest.skipIf(th.UNDER_WINE, "Linux port names")
    def test_names_that_do_not_fit_are_refused_never_cut(self):
        with Sim("golden") as sim:
            a, = sim.names()
            long_name = "x" * 300
            with Driver([long_name, a, "ttyACM12345"]) as d:
                d.call("build")
                logs, result = d.call("ports 4 8")
                self.assertIn("SearchAndInsertPortMap: PortName %s longer than 255 characters, not stored" % long_name,
                              logs)
                # "ttyACM12345" does not fit 8 characters: its buffer gets an empty string.
                self.assertEqual(result, "GetComPortInfo 0 n=2 names=%s|" % a)
                self.assertEqual(logs[-1], "GetPortMapNameByIndex: Name of port 1 longer than 7 characters")
                d.call("release")

    def test_an_open_slot_gets_its_settings_again_whatever_id_is_named(self):
        with Sim("golden", "golden") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 4 16")
            self.assertEqual(d.call("open_golden 0"), ([], "OpenGoldenSamplePort 0"))
            self.assertEqual(d.call("open_golden 1"), ([], "OpenGoldenSamplePort 0"))
            self.assertEqual(result_code(d.call("golden 1")[1]), 0)
            # The request went to the port opened first.
            self.assertEqual(len(sim.requests(0)), 1)
            self.assertEqual(sim.requests(1), [])
            # An unknown id still fails on an open slot, which stays open.
            self.assertEqual(d.call("open_golden 7"),
                             (["GetPortMapNameByIndex: Invalid 7", "OpenGoldenSamplePort: Get port name failed"],
                              "OpenGoldenSamplePort -1"))
            self.assertEqual(result_code(d.call("golden 2")[1]), 0)
            d.call("release")

    @unittest.skipIf(th.UNDER_WINE, "Wine opens a COM port a second time despite share mode 0 "
                     "(Windows refuses it)")
    def test_a_port_open_as_golden_sample_cannot_be_probed(self):
        with Sim("golden", "dut") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 4 16")
            d.call("open_golden 0")
            logs, result = d.call("find 4 4")
            self.assertEqual(result, "FindDevicePortId 0 golden=- gn=0 dut=1 dn=1")
            self.assertRegex(logs[0], r"^FindDevicePortId: Failed to open Port\[%s\], error \(\d+\)$" %
                             re.escape(("\\\\.\\" + sim.names()[0]) if th.UNDER_WINE else sim.ptys[0]))
            self.assertEqual(logs[1:], [PROBE_SEND % 1])
            d.call("release")

    def test_a_port_that_cannot_be_opened(self):
        missing = "COM99" if th.UNDER_WINE else "nonexistent-tty"
        with Driver([missing]) as d:
            d.call("build")
            d.call("ports 4 16")
            path = ("\\\\.\\" if th.UNDER_WINE else "/dev/") + missing
            for line, name in (("open_golden 0", "OpenGoldenSamplePort"), ("open_dut 0", "OpenDUTPort")):
                logs, result = d.call(line)
                self.assertEqual(result, "%s -2" % name)
                self.assertEqual(len(logs), 1)
                self.assertRegex(logs[0], r"^%s: Failed to open Port\[%s\], error \(\d+\)$" % (name, re.escape(path)))
            d.call("release")


class Probe(unittest.TestCase):
    def test_roles_capacity_and_silent_ports(self):
        with Sim("golden", "0x13", "dut2", "golden", "silent", "dut") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 8 16")
            logs, result = d.call("find 1 4")
            # Capacity 1 with two golden samples: the lower id; role 0x13 is in neither list.
            self.assertEqual(result, "FindDevicePortId 0 golden=0 gn=1 dut=2,5 dn=2")
            self.assertEqual(logs, [PROBE_SEND % 0, PROBE_SEND % 1, PROBE_SEND % 2, PROBE_SEND % 3,
                                    PROBE_SEND % 4,
                                    "FindDevicePortId:  ReadFile portId(4) less than 8 bytes (0), try once",
                                    "FindDevicePortId: ReadFile portId(4) less than 8 bytes (0), failed",
                                    PROBE_SEND % 5])
            for k in range(6):
                self.assertEqual(sim.requests(k), [bytes.fromhex("8716117E45")])
            # A new probe reports the modules attached now, from empty lists.
            self.assertEqual(d.call("find 4 4")[1], "FindDevicePortId 0 golden=0,3 gn=2 dut=2,5 dn=2")
            # The DUT probed last (type 0x11) decides the DUT type.
            d.call("open_golden 0")
            d.call("golden 0")
            self.assertEqual(sim.requests(0)[-1], bytes.fromhex("87 12 11 00 11 21 6F"))
            d.call("release")

    def test_a_second_type_dut_sets_the_dut_type(self):
        with Sim("golden", "dut2") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 8 16")
            self.assertEqual(d.call("find 4 4")[1], "FindDevicePortId 0 golden=0 gn=1 dut=1 dn=1")
            d.call("open_golden 0")
            d.call("golden 39")
            self.assertEqual(sim.requests(0)[-1], th.request(0x12, [39, 0x21]))
            d.call("release")

    def test_probe_faults_are_logged_with_the_port_id_and_skip_the_port(self):
        with Sim("golden,fault=identify:status=5", "dut,fault=identify:badcrc", "dut,fault=identify:type",
                 "dut,fault=identify:split=3", "golden,fault=identify:len=300",
                 # 0xFFFFFFF6 + 10 is 0 in 16 bits: no less refused than a long one.
                 "golden,fault=identify:len=0xFFFFFFF6") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 8 16")
            logs, result = d.call("find 4 4")
            self.assertEqual(result, "FindDevicePortId 0 golden=- gn=0 dut=3 dn=1")
            bad = th.reply(0x16, bytes([0x11]))
            bad = bad[:-2] + bytes([bad[-2] ^ 1, bad[-1]])  # the CRC with its lowest bit flipped
            crc = th.crc16(bad[:-2])
            self.assertEqual(logs, [
                PROBE_SEND % 0, "FindDevicePortId: Find device portId(0) failed, status(5)",
                PROBE_SEND % 1,
                "portId(1) " + ":".join("%02x" % b for b in bad[:10]),
                "FindDevicePortId: ReadFile portId(1) crc check failed, calc rc(%02x): rcv crc(%02x)" % (crc, crc ^ 1),
                PROBE_SEND % 2, "FindDevicePortId: Recv portId(2) packet type is 0x78",
                PROBE_SEND % 3, "FindDevicePortId:  ReadFile portId(3) less than 8 bytes (3), try once",
                PROBE_SEND % 4, "FindDevicePortId: Recv portId(4) payload length (300) too long, at most 246",
                PROBE_SEND % 5, "FindDevicePortId: Recv portId(5) payload length (4294967286) too long, at most 246",
            ])
            d.call("release")

    def test_probe_of_a_silent_port_takes_two_header_reads_and_the_pause(self):
        with Sim("silent") as sim, Driver(sim.names()) as d:
            d.call("build")
            d.call("ports 8 16")
            ms = float(d.call("t find 4 4")[1].split(" ms=")[1])
            # Two reads of 8 bytes at 100 ms a byte + 30 ms, and 50 ms: 1710 ms.
            self.assertGreaterEqual(ms, 1650)
            self.assertLess(ms, 3500)
            d.call("release")


@unittest.skipIf(th.UNDER_WINE, "ELF symbols of the Linux build")
class LinuxLibrary(unittest.TestCase):
    def symbols(self, *args):
        out = subprocess.run(["nm", "-D"] + list(args) + [th.LIBRARY], stdout=subprocess.PIPE, check=True)
        return [l.split()[-1] for l in out.stdout.decode().splitlines()]

    def test_exports_the_15_functions_only_and_nothing_writes_standard_output(self):
        exported = sorted(s for s in self.symbols("--defined-only"))
        self.assertEqual(exported, sorted([name for _, name in GUARDED] +
                                          ["BuildCalibrateModule", "ReleaseCalibrateModule",
                                           "SetDUTMacAddress", "ReturnLPCWCHAR"]))
        imported = [s.split("@")[0] for s in self.symbols("--undefined-only")]
        for name in ("printf", "puts", "putchar", "fwrite", "fputs", "stdout", "vprintf", "putwchar",
                     "wprintf", "fputws", "__printf_chk"):
            self.assertNotIn(name, imported)


if __name__ == "__main__":
    unittest.main(verbosity=2)
