"""Exchange failures, retries and their codes and lines for the operations
on the golden-sample port: GetGoldenInfo, VefifyDUTInfo, RebootGoldenSample."""
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
class GetGoldenInfo(unittest.TestCase, ExchangeCases):
    def test_get_golden_info(self):
        self.run_fault_sequence("golden")


class VerifyDutInfo(unittest.TestCase, ExchangeCases):
    def test_verify(self):
        self.run_fault_sequence("verify")


class RebootGoldenSample(unittest.TestCase, ExchangeCases):
    def test_reboot(self):
        self.run_fault_sequence("reboot")


class GoldenSamplePort(unittest.TestCase, ExchangeCases):
    def test_port_not_open(self):
        for op in ("golden", "verify", "reboot"):
            with self.subTest(op=op):
                self.run_port_not_open(op)

    @unittest.skipIf(th.UNDER_WINE, "under Wine a pseudo-terminal that hangs up reads as a silent line, not as a read error")
    def test_line_hang_up(self):
        for op in ("golden", "reboot"):
            with self.subTest(op=op):
                self.run_hangup(op)


if __name__ == "__main__":
    unittest.main(verbosity=2)
