"""A station for the SWD link: a folder holding a copy of flint and, unless
asked otherwise, the simulated probe library under the probe maker's name, so
that flint finds it in its own folder. Runs flint -i there with the simulated
probe's settings and reads the probe's call log.

Environment (set by CTest and tools/windows/test.sh):
  SIMPROBE  the simulated probe library (libjlinkarm.so or JLink_x64.dll)
"""
import os
import re
import shutil

import harness

SIMPROBE = os.environ.get("SIMPROBE", "")

FLASH_BASE = 0x800000
FLASH_SIZE = 0x100000

LOG_LINE = re.compile(r"^(\d+\.\d+) (\S+?)(?:\((.*?)\))?(?: = (.*))?$")


def _place(src, dst):
    """A hard link when the file system allows it, else a copy: the program
    must see the folder it was started from as its own."""
    try:
        os.link(src, dst)
    except OSError:
        shutil.copy2(src, dst)


def host_path(path):
    """A path as the program under test sees it (Wine: the Z: drive)."""
    return "Z:" + path if harness.UNDER_WINE else path


class Call:
    """One line of the probe's log: time in ms, entry point, arguments, result."""

    def __init__(self, ms, name, args, result):
        self.ms, self.name, self.args, self.result = ms, name, args, result

    def __repr__(self):
        return "%.3f %s(%s) = %s" % (self.ms, self.name, self.args, self.result)


class Station(harness.Scratch):
    def __init__(self, with_probe=True):
        self.dir = harness.scratch_dir("swd")
        self.flint = os.path.join(self.dir, os.path.basename(harness.FLINT))
        _place(harness.FLINT, self.flint)
        if with_probe:
            _place(SIMPROBE, os.path.join(self.dir, os.path.basename(SIMPROBE)))
        self.log = os.path.join(self.dir, "probe.log")
        self.flash = os.path.join(self.dir, "flash.bin")

    def preload(self, blocks):
        """Flash contents before the run: {address: bytes}, the rest erased."""
        data = bytearray(b"\xff" * FLASH_SIZE)
        for addr, block in blocks.items():
            data[addr - FLASH_BASE:addr - FLASH_BASE + len(block)] = block
        self.write("flash.bin", bytes(data))

    def read_flash(self, addr, n):
        with open(self.flash, "rb") as f:
            f.seek(addr - FLASH_BASE)
            return f.read(n)

    def env(self, fault=""):
        return {"SIMPROBE_LOG": host_path(self.log), "SIMPROBE_FLASH": host_path(self.flash),
                "SIMPROBE_FAULT": fault}

    def run(self, lines, fault="", timeout=120):
        """flint -i in the station folder; (exit status, output)."""
        saved = harness.FLINT
        harness.FLINT = self.flint
        try:
            return harness.run_flint(["-i"], harness.shell_script(*lines), cwd=self.dir,
                                     env=self.env(fault), timeout=timeout)
        finally:
            harness.FLINT = saved

    def calls(self):
        """The probe's log as Call records (loader notes have no parentheses
        and come back with args None)."""
        out = []
        if not os.path.exists(self.log):
            return out
        with open(self.log, errors="replace") as f:
            for line in f:
                m = LOG_LINE.match(line.rstrip("\n"))
                if m:
                    out.append(Call(float(m.group(1)), m.group(2), m.group(3), m.group(4)))
        return out

    def entry_calls(self):
        return [c for c in self.calls() if c.name.startswith("JLINKARM_")]

    def clear_log(self):
        if os.path.exists(self.log):
            os.remove(self.log)
