"""One-shot runs that must not report a module as good, or touch it at all,
when their command line or files are wrong: a job file beside a packed
image, a mistyped image or eFuse file, a bad device address, an empty port,
files that are no regular files. The real flint binary against the virtual
module; the module's flash is read afterwards."""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VModule, flint_port  # noqa: E402
from test_flash_session import MODULE_ARGS, pattern  # noqa: E402
from test_oneshot import CONNECT_CHECK, ERASED, Station, host_path, local_path, sep  # noqa: E402

NOT_REGULAR = "%s is not a regular file (a folder, device or pipe); give the path of a file\n"
# A run that hangs on a FIFO is a failure, not a wait.
FIFO_TIMEOUT_S = 30


def packed_bytes(subs):
    """A packed image of (address, payload) sub-images, each behind a 512-byte header."""
    indicator = (1 << len(subs)) - 1
    data = b"GM" + bytes(38) + struct.pack("<I", indicator)
    data += b"".join(struct.pack("<III", a, len(p) + 512, 0) for a, p in subs)
    return data + b"".join(b"H" * 512 + p for _, p in subs)


def script_lines(out):
    return [line.split("] ", 1)[1] for line in out.splitlines() if line.startswith("CMD[")]


class PackedWithJobFile(Station):
    """With -P the job file gives the port and the rate; every sub-image of
    the packed file is programmed, whatever the job file's entries say and
    wherever -f stands."""

    SUBS = [(0x802000, pattern(0x1200, 51)), (0x810000, pattern(300, 52))]

    def run_packed(self, order):
        self.write("packed.bin", packed_bytes(self.SUBS))
        self.write("img/other.bin", pattern(4000, 53))
        with VModule(MODULE_ARGS) as vm:
            port = flint_port(vm)
            # The job disables slot 0 and names an image of its own for slot 1.
            job = self.job(port, [("other.bin", "0x802000", "0"), ("other.bin", "0x820000")])
            words = {"f": ["-f", job], "P": ["-P", "packed.bin"]}
            rc, out = self.flint(words[order[0]] + words[order[1]] + ["-M", "1"])
            folder = out.split("Temp dir: ", 1)[1].split("\n", 1)[0]
            body = []
            for addr, payload in self.SUBS:
                path = "%s%s0x%x.bin" % (folder, sep(), addr)
                body += ["pageerase 0x%x 0x%X" % (addr, (len(payload) + 4095) // 4096 * 4096),
                         "program %s 0x%x" % (path, addr), "flashverify %s 0x%x" % (path, addr)]
            self.assertEqual(script_lines(out), self.script(port, 1, body), out)
            self.assertEqual(rc, 0, out)
            for addr, payload in self.SUBS:
                self.assertEqual(vm.read_iflash(addr, len(payload)), payload)
            self.assertEqual(vm.read_iflash(0x820000, 16), ERASED * 16)
            self.assertFalse(os.path.exists(local_path(folder)), folder)

    def test_job_file_before_the_packed_image(self):
        self.run_packed("fP")

    def test_job_file_behind_the_packed_image(self):
        self.run_packed("Pf")


class RefusedBeforeTheModule(Station):
    """A run whose files or texts are wrong ends with -1 and its message
    before the first line: the module keeps its old firmware."""

    OLD = pattern(0x1000, 61)

    def refused(self, args, want_err, detect=False):
        self.write("app.bin", pattern(3000, 62))
        self.write("efuse.bin", bytes([0x11, 0x02, 0x44, 0x80]))
        with VModule(MODULE_ARGS, iflash={0x802000: self.OLD}) as vm:
            port = flint_port(vm)
            fuses = vm.read_efuse()
            mode = [] if detect else ["-M", "1"]
            rc, out = self.flint(["-c", port] + [a.replace("PORT", port) for a in args] + mode,
                                 timeout=FIFO_TIMEOUT_S)
            self.assertEqual((rc, out), (255, want_err))
            self.assertEqual(vm.read_iflash(0x802000, len(self.OLD)), self.OLD)
            self.assertEqual(vm.read_efuse(), fuses)

    def test_refusals(self):
        os.mkfifo(self.path("fifo.bin"))
        erase_program = ["-e", "-p", "-v", "-A", "0x802000", "-S", "0x1000"]
        cases = [
            (erase_program + ["-F", "typo.bin"], "open typo.bin fails\n"),
            (["-e", "-v", "-A", "0x802000", "-S", "0x1000", "-F", "typo.bin"], "open typo.bin fails\n"),
            (erase_program + ["-F", "fifo.bin"], NOT_REGULAR % "fifo.bin"),
            (erase_program + ["-F", "."], NOT_REGULAR % "."),
            (erase_program + ["-F", "app.bin", "-u", "typo.json"], "open typo.json fails\n"),
            (["-E", "-u", "fifo.bin"], NOT_REGULAR % "fifo.bin"),
            (erase_program + ["-F", "app.bin", "-x", "00:11:22:33:44"], "convert BT address error!\n"),
            (["-E", "-x", "00:11:22:33:44:5G"], "convert BT address error!\n"),
        ]
        for args, err in cases:
            for detect in (False, True):
                with self.subTest(args=args, detect=detect):
                    self.refused(args, err, detect)

    def test_an_empty_port_is_no_port(self):
        for args in (["-c", "", "-E"], ["-c", "", "-D", "00:11"], ["-f", "job.json", "-c", "", "-E"]):
            with self.subTest(args=args):
                self.job("COM6", [])
                rc, out = self.flint(args)
                self.assertEqual((rc, out), (255, CONNECT_CHECK))


class FilesThatAreNoRegularFiles(Station):
    """A FIFO as the job file, as an image the job file names, or as the
    packed image is refused at once (reading it would wait for a writer
    forever); a packed run leaves no temporary folder behind."""

    def test_fifos(self):
        os.mkfifo(self.path("fifo.json"))
        os.makedirs(self.path("img"))
        os.mkfifo(self.path("img/app.bin"))
        os.mkfifo(self.path("fifo.bin"))
        job = self.job("COM6", [("app.bin", "0x802000")])
        image = host_path(self.path("img")) + sep() + "app.bin"
        cases = [
            (["-f", "fifo.json", "-a", "-M", "1"], NOT_REGULAR % "fifo.json"),
            (["-f", job, "-a", "-M", "1"], NOT_REGULAR % image),
            (["-c", "COM6", "-P", "fifo.bin", "-M", "1"],
             "packed_img_parser: %s\nparse packed image error!\n" % (NOT_REGULAR % "fifo.bin").rstrip("\n")),
        ]
        temp = self.path("temp")
        os.makedirs(temp)
        for args, want in cases:
            with self.subTest(args=args):
                rc, out = self.flint(args, env={"TMPDIR": temp}, timeout=FIFO_TIMEOUT_S)
                self.assertEqual((rc, out), (255, want))
        self.assertEqual(os.listdir(temp), [])


if __name__ == "__main__":
    unittest.main()
