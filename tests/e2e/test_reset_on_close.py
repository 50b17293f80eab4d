"""A production script run again and again against one virtual module that
powers off and on whenever the last host closes its line (--reset-on-close):
every run starts from a module just powered on and programs it."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import VModule, flint_port  # noqa: E402
from test_efuse_oem import wait_log  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402
from test_oneshot import Station  # noqa: E402

RUNS = 3
POWER_OFF = "power off"


class RepeatedRuns(Station):
    def test_the_one_shot_job_three_times_against_one_module(self):
        with VModule(list(MODULE_ARGS) + ["--reset-on-close"]) as vm:
            port = flint_port(vm)
            job = self.job(port, [("app.bin", "0x803000"), ("cfg.bin", "0x810000")])
            for run in range(RUNS):
                with self.subTest(run=run):
                    app, cfg = pattern(5000, 20 + run), pattern(300, 40 + run)
                    self.write("img/app.bin", app)
                    self.write("img/cfg.bin", cfg)
                    rc, out = self.flint(["-f", job, "-a", "-M", "1"])
                    self.assertEqual(rc, 0, out)
                    self.assertTrue(out.endswith("CMD[10] disconnect\n-OK-\n"), out)
                    self.assertEqual(vm.read_iflash(0x803000, len(app)), app)
                    self.assertEqual(vm.read_iflash(0x810000, len(cfg)), cfg)
                    # The close that ends the run powers the module off; the
                    # next run's open finds it powered on.
                    self.assertTrue(wait_log(vm, POWER_OFF, count=run + 1), vm.log_text()[-500:])
            lost = [line for line in vm.log_text().splitlines() if "restarting" in line]
            self.assertEqual(lost, [])


if __name__ == "__main__":
    unittest.main()
