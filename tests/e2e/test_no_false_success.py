"""A command never reports -OK- for an effect the module does not hold: late
answers, ranges past 4 GiB, files that are no regular files, failed
triggers, CR LF scripts; and a matrix of every flash operation under every
fault kind of the virtual module. The real flint shell against the virtual
module; the module's memory is read afterwards."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flint_timing  # noqa: E402
import harness  # noqa: E402
from harness import VModule, dump_lines, flint_port, run_flint, shell_script  # noqa: E402

MODULE_ARGS = ["--prop-id", "0x4420", "--prop-name", "KVL4420B_V3", "--flash-id", "0x164020",
               "--ext-flash-id", "0x1640EF"]
ERASED = b"\xff"
# 1.5 s longer than the read time-out: the answer arrives while flint has given up on it.
LATE = "late=%d" % (flint_timing.value("COM_READ_CONSTANT_MS") + 1500)
OK = "-OK-\n"


def pattern(n, seed):
    return bytes((seed + k * 29 + (k >> 7)) & 0xFF for k in range(n))


class Case(harness.ShellSession):
    SCRATCH = "nofalse"


class LateAnswers(Case):
    """An erase that outlasts the read time-out is answered late; that answer
    is never taken as the answer to the program or verify behind it."""

    def test_over_the_serial_link(self):
        app = pattern(2048, 3)
        path = self.write("app.bin", app)
        faults = ["--fault", "1030:" + LATE, "--fault", "1032:corrupt"]
        with VModule(MODULE_ARGS + faults) as vm:
            got = self.shell(["connect %s" % flint_port(vm), "loadfw --autodetect %s 1" % self.fw,
                              "pageerase 0x802000 0x1000", "program %s 0x802000" % path,
                              "flashverify %s 0x802000" % path])
            self.assertTrue(got[1].endswith(OK), got[1])
            self.assertRegex(got[2], r"recv timeout! need 10 bytes, read 0 bytes\.\n-ERR: 2-\n$")
            self.assertNotEqual(vm.read_iflash(0x802000, len(app)), app)
            self.assertNotRegex(got[4], OK + "$", "a verify passed on flash that differs")
            self.assertRegex(got[4], r"Flash Verify Error: \d+\n-ERR: 1-\n$")



class Refusals(Case):
    def test_ranges_past_4_gib_are_refused_before_the_link(self):
        img = self.write("img.bin", pattern(301, 5))
        with VModule(MODULE_ARGS) as vm:
            got = self.shell(["connect %s" % flint_port(vm), "loadfw --autodetect 0",
                              "flashread 0xFFFFFF0C 0x200",
                              "savebin %s 0xFFFFFF0C 0x200" % os.path.join(self.dir, "out.bin"),
                              "flashverify %s 0xFFFFFF0C" % img, "flashid"])
            tail = " runs past 0xFFFFFFFF, the end of the address space; nothing was done\n-ERR: -1-\n"
            self.assertEqual(got[2], "flashread: 0xFFFFFF0C + 0x200 bytes" + tail)
            self.assertEqual(got[3], "savebin: 0xFFFFFF0C + 0x200 bytes" + tail)
            self.assertEqual(got[4], "file size: 301\npayload length: 301\n"
                             "flashverify: 0xFFFFFF0C + 0x12D bytes" + tail)
            self.assertEqual(got[5], "RDID(JEDEC) = 164020\n" + OK)
            self.assertFalse(os.path.exists(os.path.join(self.dir, "out.bin")))

    @unittest.skipIf(harness.UNDER_WINE, "FIFOs and /dev are Linux paths")
    def test_files_that_are_no_regular_files_never_block(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        with VModule(MODULE_ARGS) as vm:
            lines = ["connect %s" % flint_port(vm), "loadfw --autodetect %s 1" % self.fw]
            for path in (fifo, "/dev/zero", self.dir):
                lines += ["program %s 0x802000" % path, "extprogram %s 0" % path,
                          "savebin %s 0x802000 0x10" % path, "loadfw %s KVL4410C_A 1" % path]
            lines.append("program /proc/self/status 0x802000")
            got = self.shell(lines, timeout=60)
            for i, path in enumerate((fifo, "/dev/zero", self.dir)):
                refused = path + " is not a regular file (a folder, device or pipe); give the path of a file\n"
                program, ext, save, loadfw = got[2 + 4 * i: 6 + 4 * i]
                self.assertEqual(program, refused + "-ERR: 3-\n")
                self.assertEqual(ext, refused + "file size: 0\n-ERR: 4-\n")
                self.assertEqual(save, "savebin: " + path + " is not a regular file (a folder, device "
                                 "or pipe), nothing was written\n-ERR: 3-\n")
                self.assertTrue(loadfw.endswith(refused + "-ERR: -8-\n") or "FW has been loaded" in loadfw,
                                loadfw)
            self.assertEqual(got[-1], "file size: 0\npayload length: 0\nprogram: /proc/self/status holds no "
                             "payload, nothing was sent\n-ERR: 3-\n")

    def test_a_huge_loader_file_is_refused_by_its_size(self):
        huge = os.path.join(self.fw, "KVL4420B_FW_V3.bin")
        with open(huge, "r+b") as f:
            f.truncate(3 << 30)  # sparse: 3 GiB that take no room
        with VModule(MODULE_ARGS) as vm:
            got = self.shell(["connect %s" % flint_port(vm), "loadfw --autodetect %s 1" % self.fw], timeout=30)
            # Under Wine the loader folder and file are joined with a backslash.
            self.assertIn("file size: 3221225472\nloadfw: ", got[1])
            self.assertIn("KVL4420B_FW_V3.bin holds 3221225472 bytes", got[1])
            self.assertTrue(got[1].endswith("-ERR: -9-\n"), got[1])

    def test_a_failed_trigger_write_fails_loadfw(self):
        with VModule(MODULE_ARGS + ["--fault", "fc62:status=1"]) as vm:
            got = self.shell(["connect %s" % flint_port(vm), "loadfw --autodetect %s 1" % self.fw,
                              "getprop"])
            self.assertTrue(got[1].endswith("Download FW success, prepare to trigger\n"
                                            "HCI Event Status fail.\nVendor Write Fail!\n-ERR: -11-\n"), got[1])
            self.assertTrue(got[2].startswith("please run 'loadfw' cmd first.\n"), got[2])

    def test_crlf_script_loads_the_loader(self):
        with VModule(MODULE_ARGS) as vm:
            text = "connect %s\r\nloadfw --autodetect %s 1\r\ngetprop\r\n" % (flint_port(vm), self.fw)
            rc, out = run_flint(["-i"], text, cwd=self.dir)
            parts = harness.split_at_prompts(out)
            self.assertIn("Download FW success", parts[2])
            self.assertTrue(parts[3].endswith(OK), parts[3])


# ------------------------------------------------------------------ the matrix

KINDS = ["badcrc", "status=5", "short=6", "silence", "garbage=3", "corrupt", LATE]
APP = pattern(3000, 21)
OLD = pattern(0x10000, 77)


def ops():
    """(name, mode, op codes, line, effect check): the check tells from the
    module's memory (and the command's output) whether the effect is held."""
    def erased(vm, addr, n):
        return vm.read_iflash(addr, n) == ERASED * n

    return [
        ("pageerase", "1", ["1030"], "pageerase 0x802000 0x1000", lambda vm, out: erased(vm, 0x802000, 0x1000)),
        ("be64", "1", ["1035"], "be64 0x810000 0x10000", lambda vm, out: erased(vm, 0x810000, 0x10000)),
        ("chiperase", "1", ["1031"], "chiperase", lambda vm, out: erased(vm, 0x800000, 0x100000)),
        # A corrupted write is answered as a sound one: programming is judged
        # with the verify that follows it, as every production script does.
        ("program", "1", ["1032"], "program APP 0x802000|flashverify APP 0x802000",
         lambda vm, out: vm.read_iflash(0x802000, len(APP)) == APP),
        ("flashverify", "1", ["1050"], "flashverify APP 0x801000",
         lambda vm, out: vm.read_iflash(0x801000, len(APP)) == APP),
        ("flashread", "1", ["1033"], "flashread 0x801000 0x40",
         lambda vm, out: dump_lines(0x801000, vm.read_iflash(0x801000, 0x40)) in out),
        ("modify", "1", ["1033", "1030", "1032"], "modify 0x801010 AA:BB|flashverify PAGE 0x801000",
         lambda vm, out: vm.read_iflash(0x801000, 0x1000) == OLD[:0x10] + b"\xaa\xbb" + OLD[0x12:0x1000]),
        ("extprogram", "1", ["103a"], "extprogram APP 0x1000|extflashverify APP 0x1000",
         lambda vm, out: vm.read_eflash(0x1000, len(APP)) == APP),
        ("extflashverify", "1", ["1051"], "extflashverify APP 0x1000",
         lambda vm, out: vm.read_eflash(0x1000, len(APP)) == APP),
        ("hci pageerase", "0", ["fc2b"], "pageerase 0x802000 0x1000", lambda vm, out: erased(vm, 0x802000, 0x1000)),
        ("hci program", "0", ["fc2e", "fc2d"], "program APP 0x802001|flashverify APP 0x802001",
         lambda vm, out: vm.read_iflash(0x802000, len(APP) + 2) == ERASED + APP + ERASED),
        ("hci flashverify", "0", ["fc2d"], "flashverify APP 0x801000",
         lambda vm, out: vm.read_iflash(0x801000, len(APP)) == APP),
        ("hci flashread", "0", ["fc2d"], "flashread 0x801000 0x40",
         lambda vm, out: dump_lines(0x801000, vm.read_iflash(0x801000, 0x40)) in out),
    ]


class FaultMatrix(Case):
    """Every flash operation under every fault kind: whenever the command
    says -OK-, the module holds what it was asked to do."""

    def run_one(self, name, mode, code, kind, line, holds):
        app = os.path.join(self.dir, "app.bin")
        preset = {0x801000: OLD, 0x802000: ERASED * 0x4000}
        with VModule(MODULE_ARGS + ["--fault", "%s:%s" % (code, kind)], iflash=preset,
                     eflash={0: pattern(0x4000, 9)}) as vm:
            start = "loadfw --autodetect %s 1" % self.fw if mode == "1" else "loadfw --autodetect 0"
            lines = [part.replace("APP", app).replace("PAGE", os.path.join(self.dir, "page.bin"))
                     for part in line.split("|")]
            rc, out = run_flint(["-i"], shell_script("connect %s" % flint_port(vm), start, *lines),
                                cwd=self.dir)
            parts = harness.split_at_prompts(out)[3:3 + len(lines)]
            said_ok = len(parts) == len(lines) and all(part.endswith(OK) for part in parts)
            return name, code, kind, said_ok, holds(vm, parts[0] if parts else "")

    def test_no_ok_without_the_effect(self):
        self.write("app.bin", APP)
        # A chip erase is waited for up to 200 s: silence there only takes long.
        jobs = [(name, mode, code, kind, line, holds)
                for name, mode, codes, line, holds in ops() for code in codes for kind in KINDS
                if not (name == "chiperase" and kind == "silence")]
        results = harness.side_by_side(jobs, lambda job: self.run_one(*job), workers=6)
        false_passes = [(name, code, kind) for name, code, kind, said_ok, held in results if said_ok and not held]
        self.assertEqual(false_passes, [])
        # The faults really bite: most runs fail, and every operation also
        # passes under some fault that does not touch its answer's meaning.
        self.assertGreater(sum(1 for r in results if not r[3]), len(results) // 2)


if __name__ == "__main__":
    unittest.main()
