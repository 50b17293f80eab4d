"""Exchange failures, retries and their codes and lines for the operations
on the DUT port: GetDUTInfo, StartDUTCalibrate, SetDUTMacAddress."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tunerlib_harness as th  # noqa: E402
from tunerlib_exchange_cases import ExchangeCases  # noqa: E402


def setUpModule():
    why = th.available()
    if why:
        raise unittest.SkipTest(why)


# A class per operation: each fault sequence is a test of its own, which
# CTest runs beside the others.
class GetDutInfo(unittest.TestCase, ExchangeCases):
    def test_get_dut_info(self):
        self.run_fault_sequence("dut")


class StartDutCalibrate(unittest.TestCase, ExchangeCases):
    def test_calibrate(self):
        self.run_fault_sequence("calibrate")


class SetDutMacAddress(unittest.TestCase, ExchangeCases):
    def test_set_mac(self):
        self.run_fault_sequence("mac")


class DutPort(unittest.TestCase, ExchangeCases):
    def test_port_not_open(self):
        for op in ("dut", "calibrate", "mac"):
            with self.subTest(op=op):
                self.run_port_not_open(op)

    @unittest.skipIf(th.UNDER_WINE, "under Wine a pseudo-terminal that hangs up reads as a silent line, not as a read error")
    def test_line_hang_up(self):
        for op in ("dut", "mac"):
            with self.subTest(op=op):
                self.run_hangup(op)


if __name__ == "__main__":
    unittest.main(verbosity=2)
