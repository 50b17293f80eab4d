"""The program entry and the interactive shell, through the real flint binary:
version, help, the prompt, line handling, the dispatcher, the environment store
and the order of the two output streams."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import PROMPT, VERSION, run_flint, shell_script  # noqa: E402

HELP_LINES = [
    "flint - A tool used for flash programming",
    "Usage: flint [OPTION]",
    "   -i              interactive mode, default option, no more options work if it exists",
    "   -h              help menu (this screen)",
    "   -c              com port, e.g., -c COM6",
    "   -b              baud rate, e.g., -b 9600",
    "   -e              erase, need to be used with -A and -S together",
    "   -p              program, need to be used with -A and -F together",
    "   -v              verify, like -p, need to be used with -A and -F together",
    "   -s              savebin, need to be used with -A ,-F and -S together",
    "   -m              modify bytes in sequence, following new values(in hex, separated by colon,"
    " maximum 32 bytes), need to be used with -A",
    "   -a              programming binary files from config file automatically.",
    "                   If -a is enable, -e -p -v -A -F will be ignored.",
    "   -E              chip erase.",
    "   -F              bin file pathname, e.g., -F D:\\Some\\Path\\To\\XXX.bin",
    "   -A              address in Hex, e.g., -A 0x802000",
    "   -S              size to be erased in bytes, e.g., -S 4096",
    "   -f              config file, see config file rules",
    re.compile(r"   -D              debug password in Hex, e\.g\., -D [0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){15}"),
    "   -u              programming eFuse",
    "   -r              reboot",
    "   -x              BT address",
    "   -d              disable merge oem/socv config image",
    "   -P              Packed Image",
    "   -M              Mandatory option. Selection of program mode:",
    "                   0: HCI mode",
    "                   1: Vendor Write mode (for Develop)",
    "                   2: Factory Image mode",
    "                   3: RAM Patch mode",
    "                   4: Single Wire UART mode",
    "   -H,             equal to -M 0",
    "   -V, --version   output version information and exit",
]

COMMANDS = [
    "ver", "help", "shell", "exit", "setenv", "saveenv", "unsetenv", "printenv", "connect",
    "disconnect", "device", "loadfirmware", "loadfw", "savebin", "addmac", "configmerge",
    "getprop", "setbaudrate", "lockbaudrate", "pageerase", "chiperase", "program", "modify",
    "flashread", "be64", "flashid", "extbe32", "extbe64", "extsectorerase", "extchiperase",
    "extprogram", "extflashread", "gdmabeg", "flashverify", "extflashverify", "extflashid",
    "efuseburn", "dbgpasswd", "read_efuse", "reboot",
]

UNKNOWN = "Unknown command. 'help' for help\n-ERR: 127-\n"
LOADFW_USAGE = ("Usage:\n\tloadfw fw_img ic_cut program_mode\n\tloadfw --autodetect fw_dir program_mode\n"
                "\tloadfw --autodetect program_mode\n\tic cut: KVL4410A KVL4410C_A KVL4410C_B "
                "KVL4420B_V1 KVL4420B_V2 KVL4420B_V3 KVL4420B_V3_SE\n")


LINE_TOO_LONG = "the line is longer than 254 characters and was not run; split it or shorten it\n"


def session(*outputs):
    """The whole output of flint -i whose command lines printed `outputs`,
    ended by end of input."""
    return PROMPT + PROMPT.join(outputs) + PROMPT + "Quit\n"


class ShellCase(unittest.TestCase):
    def setUp(self):
        self.cwd = harness.scratch_dir("shell")

    def shell(self, *lines, stdin=None):
        text = shell_script(*lines) if stdin is None else stdin
        return run_flint(["-i"], text, cwd=self.cwd)

    def write_env_file(self, text):
        with open(os.path.join(self.cwd, "diag.env"), "w") as f:
            f.write(text)


class ProgramEntry(ShellCase):
    def test_version_requests_print_the_built_in_version(self):
        self.write_env_file("DIAGVER=9.9\n")
        for args in (["--version"], ["-V"], ["-c", "COM6", "-V"]):
            with self.subTest(args=args):
                self.assertEqual(run_flint(args, cwd=self.cwd), (0, VERSION + "\n"))

    def test_version_with_another_argument_is_no_version_request(self):
        rc, out = run_flint(["--version", "extra"], cwd=self.cwd)
        self.assertNotIn(VERSION, out)
        self.assertEqual(rc, 255)

    def test_help_text_line_for_line(self):
        rc, out = run_flint(["-h"], cwd=self.cwd)
        self.assertEqual(rc, 0)
        self.assertTrue(out.endswith("\n"))
        lines = out[:-1].split("\n")
        self.assertEqual(len(lines), len(HELP_LINES))
        for got, want in zip(lines, HELP_LINES):
            if isinstance(want, str):
                self.assertEqual(got, want)
            else:
                self.assertRegex(got, want.pattern + "$")

    def test_help_behind_other_options_wins(self):
        rc, out = run_flint(["-c", "COM6", "-e", "-h", "-q"], cwd=self.cwd)
        self.assertEqual(rc, 0)
        self.assertEqual(out.split("\n")[0], HELP_LINES[0])

    def test_option_values_and_the_words_between(self):
        """A value not in the option's own word is the next word without a
        leading "-"; the words with "-" in between are still options."""
        missing_c = "{flint}: option requires an argument -- c\n"
        shell_ver = session(VERSION + "\n-OK-\n")
        help_start = HELP_LINES[0] + "\n"
        no_connection = "please configure connect information by -f or -c!\n"
        cases = [
            # (arguments, environment, exit status, start of the output or None)
            (["-c", "-h"], None, 0, missing_c + help_start),
            (["-c", "-i", "COM6"], None, 0, shell_ver),
            (["-c", "-i"], None, 0, missing_c + shell_ver),
            (["-ic"], None, 0, missing_c + shell_ver),
            (["-b", "-V", "9600"], None, 0, VERSION + "\n"),
            (["-c", "-", "-h"], None, 0, missing_c + help_start),
            (["-c", "--", "-h"], None, 255, missing_c + no_connection),
            (["-c", "COM6", "extra", "-h"], None, 0, help_start),
            (["-c", "COM6", "extra", "-h"], {"POSIXLY_CORRECT": "1"}, 255, None),
            (["extra", "-i"], {"POSIXLY_CORRECT": "1"}, 255, no_connection),
            (["-cqh"], None, 255, None),
            (["-e-h"], None, 0, "{flint}: invalid option -- -\n" + help_start),
        ]
        for args, env, status, start in cases:
            with self.subTest(args=args, env=env):
                rc, out = run_flint(args, "ver\n", cwd=self.cwd, env=env)
                self.assertEqual(rc, status, out)
                if status != 0:
                    self.assertNotIn(PROMPT, out)
                # Under Wine the program path in getopt's messages is Wine's own.
                if start is not None and not (harness.UNDER_WINE and "{flint}" in start):
                    self.assertTrue(out.startswith(start.format(flint=harness.FLINT)), out)

    def test_no_options_asks_for_a_connection(self):
        self.assertEqual(run_flint([], cwd=self.cwd),
                         (255, "please configure connect information by -f or -c!\n"))

    def test_shell_ignores_the_other_options(self):
        self.assertEqual(run_flint(["-i", "-c", "COM6", "-e"], "ver\n", cwd=self.cwd),
                         (0, session(VERSION + "\n-OK-\n")))


class Lines(ShellCase):
    def test_prompt_is_flint_or_the_prompt_variable(self):
        rc, out = self.shell("setenv PROMPT flash", "unsetenv PROMPT")
        self.assertEqual(rc, 0)
        self.assertEqual(out, PROMPT + "-OK-\nflash> -OK-\n" + PROMPT + "Quit\n")

    def test_prompt_from_the_environment_file(self):
        self.write_env_file("PROMPT=station7\n")
        self.assertEqual(self.shell("ver"), (0, "station7> " + VERSION + "\n-OK-\nstation7> Quit\n"))

    def test_over_long_environment_file_line_is_refused_whole(self):
        # Cut in pieces, the first line would give PROMPT a cut value and
        # its tail would become a variable of its own.
        self.write_env_file("PROMPT=" + "p" * 300 + "=x\nDIAGVER=2\n")
        self.assertEqual(self.shell("printenv"),
                         (0, "diag.env: line 1 is longer than 254 characters and was not loaded\n"
                             + PROMPT + "DIAGVER=2\n-OK-\n" + PROMPT + "Quit\n"))

    def test_unknown_lines(self):
        for line in ("", "   ", " ver", "quit", "Ver", "\tver"):
            with self.subTest(line=line):
                self.assertEqual(self.shell(line), (0, session(UNKNOWN)))

    def test_prefix_rule_selects_the_first_row(self):
        self.assertEqual(self.shell("version", "verify"),
                         (0, session(VERSION + "\n-OK-\n", VERSION + "\n-OK-\n")))

    def test_exit_ends_the_shell(self):
        rc, out = self.shell("exit", "ver")
        self.assertEqual((rc, out), (0, PROMPT + "Quiting...\n-OK-\n"))

    def test_end_of_input_ends_the_shell(self):
        self.assertEqual(self.shell(stdin=""), (0, PROMPT + "Quit\n"))

    def test_last_line_without_a_newline_runs_whole(self):
        self.assertEqual(self.shell(stdin="ver\nsetenv A 1\nprintenv A"),
                         (0, session(VERSION + "\n-OK-\n", "-OK-\n", "A=1\n-OK-\n")))

    def test_long_line_is_refused_whole_and_the_shell_goes_on(self):
        # Cut in two, this line would set LONG and then run "ver": neither runs.
        first = "setenv LONG " + "v" * 242
        self.assertEqual(len(first), 254)
        for tail in ("ver" + " " * 43, "x", "\rx"):
            with self.subTest(tail=tail):
                rc, out = self.shell(first + tail, "printenv LONG", "ver")
                self.assertEqual(rc, 0)
                self.assertEqual(out, session(LINE_TOO_LONG + "-ERR: -1-\n", "-ERR: -1-\n",
                                              VERSION + "\n-OK-\n"))

    def test_crlf_line_ends_are_one_line_end(self):
        exact = "setenv EXACT " + "v" * 241
        self.assertEqual(len(exact), 254)
        text = "setenv MODE 1\r\nprintenv MODE\r\n" + exact + "\r\nprintenv EXACT\r\n"
        rc, out = self.shell(stdin=text)
        self.assertEqual(out, session("-OK-\n", "MODE=1\n-OK-\n", "-OK-\n", "EXACT=" + "v" * 241 + "\n-OK-\n"))

    def test_line_of_exactly_254_characters_runs_once(self):
        line = "setenv EXACT " + "v" * 241
        self.assertEqual(len(line), 254)
        rc, out = self.shell(line, "printenv EXACT")
        self.assertEqual(out, session("-OK-\n", "EXACT=" + "v" * 241 + "\n-OK-\n"))

    def test_ten_words_reach_the_handler_as_eight(self):
        rc, out = self.shell("shell echo w1 w2 w3 w4 w5 w6 w7 w8")
        parts = harness.split_at_prompts(out)
        self.assertEqual(parts[1].rstrip(" \n").split("\n")[0].rstrip(), "w1 w2 w3 w4 w5 w6")
        self.assertTrue(parts[1].endswith("-OK-\n"))

    def test_shell_without_words(self):
        self.assertEqual(self.shell("shell"), (0, session("Missing parameter!\n-ERR: 1-\n")))

    def test_ver_prints_diagver(self):
        self.assertEqual(self.shell("setenv DIAGVER 2.0-line7", "ver"),
                         (0, session("-OK-\n", "version 2.0-line7\n-OK-\n")))


class Help(ShellCase):
    def test_help_lists_the_forty_commands_in_order(self):
        names = "".join(n + "\n" for n in COMMANDS)
        for line in ("help", "help a b", "helpme"):
            with self.subTest(line=line):
                self.assertEqual(self.shell(line), (0, session(names + "-OK-\n")))

    def test_help_for_one_word(self):
        cases = [
            ("help pageerasexyz", "Usage:\n\tpageerase [start addr] [size]\n-OK-\n"),
            ("help extflashverify", "Usage:\n\tflashverify [img name] [start addr]\n-OK-\n"),
            ("help loadfirmware", LOADFW_USAGE + "-OK-\n"),
            ("help loadfw", LOADFW_USAGE + "-OK-\n"),
            ("help exit", "Usage:\n\tquit\n-OK-\n"),
            ("help savebin", "Usage\n\tsavebin <file> <addr> <size>\n-OK-\n"),
            ("help device", "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD "
                            "interface now.-OK-\n"),
            ("help nosuch", UNKNOWN),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                self.assertEqual(self.shell(line), (0, session(want)))


class Environment(ShellCase):
    def test_set_twice_keeps_one_slot(self):
        self.assertEqual(self.shell("setenv A 1", "setenv A 2", "printenv"),
                         (0, session("-OK-\n", "-OK-\n", "A=2\n-OK-\n")))

    def test_freed_slot_is_reused_in_place(self):
        rc, out = self.shell("setenv S0 a", "setenv S1 b", "setenv S2 c", "setenv S3 d",
                             "setenv S4 e", "unsetenv S3", "setenv NEW f", "printenv")
        self.assertTrue(out.endswith(PROMPT + "S0=a\nS1=b\nS2=c\nNEW=f\nS4=e\n-OK-\n" + PROMPT + "Quit\n"))

    def test_printenv_lists_in_slot_order(self):
        rc, out = self.shell("setenv Z 1", "setenv A 2", "setenv M 3", "printenv")
        self.assertIn("Z=1\nA=2\nM=3\n-OK-\n", out)

    def test_argument_counts(self):
        cases = [
            ("setenv A", "-ERR: -1-\n"),
            ("setenv A 1 2", "-ERR: -1-\n"),
            ("unsetenv", "-ERR: -1-\n"),
            ("unsetenv NOPE", "-ERR: -1-\n"),
            ("printenv NOPE", "-ERR: -1-\n"),
            ("printenv A B", "-OK-\n"),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                self.assertEqual(self.shell(line), (0, session(want)))

    def test_duplicate_names_from_the_file(self):
        self.write_env_file("X=first\nY=y\nX=second\n")
        self.assertEqual(self.shell("printenv", "printenv X"),
                         (0, session("X=first\nY=y\nX=second\n-OK-\n", "X=first\n-OK-\n")))

    def test_file_edge_lines(self):
        # A line without "=", an empty line, later "=" in the value, an empty
        # name, and a last line without a line end.
        self.write_env_file("LONE\n\nK=a=b\n=onlyvalue\nLAST=xyz")
        self.assertEqual(self.shell("printenv"),
                         (0, session("LONE=\n=\nK=a=b\n=onlyvalue\nLAST=xyz\n-OK-\n")))

    def test_name_with_equals_sign_reloads_shorter(self):
        rc, out = self.shell("setenv A=B C", "printenv A=B", "saveenv")
        self.assertEqual(out, session("-OK-\n", "A=B=C\n-OK-\n", "-OK-\n"))
        with open(os.path.join(self.cwd, "diag.env")) as f:
            self.assertEqual(f.read(), "A=B=C\n")
        self.assertEqual(self.shell("printenv A", "printenv A=B"),
                         (0, session("A=B=C\n-OK-\n", "-ERR: -1-\n")))

    def test_save_after_unset_and_reload_in_order(self):
        self.shell("setenv A 1", "setenv B 2", "setenv C 3", "unsetenv B", "saveenv")
        with open(os.path.join(self.cwd, "diag.env")) as f:
            self.assertEqual(f.read(), "A=1\nC=3\n")
        self.assertEqual(self.shell("printenv", "setenv D 4", "printenv"),
                         (0, session("A=1\nC=3\n-OK-\n", "-OK-\n", "A=1\nC=3\nD=4\n-OK-\n")))

    def test_the_257th_name_is_refused_and_a_full_store_still_updates(self):
        lines = ["setenv N%d v" % i for i in range(257)] + ["printenv N255", "printenv N256",
                                                            "setenv N0 changed", "printenv N0"]
        rc, out = self.shell(*lines)
        parts = harness.split_at_prompts(out)
        self.assertEqual(parts[1:257], ["-OK-\n"] * 256)
        self.assertEqual(parts[257], "-ERR: -1-\n")
        self.assertEqual(parts[258:], ["N255=v\n-OK-\n", "-ERR: -1-\n", "-OK-\n", "N0=changed\n-OK-\n",
                                       "Quit\n"])

    def test_saveenv_to_an_unwritable_file(self):
        os.mkdir(os.path.join(self.cwd, "diag.env"))
        self.assertEqual(self.shell("setenv A 1", "saveenv", "printenv"),
                         (0, session("-OK-\n", "-ERR: -1-\n", "A=1\n-OK-\n")))


class Streams(unittest.TestCase):
    def test_errors_interleave_in_order_through_one_pipe(self):
        cwd = harness.scratch_dir("streams")
        lines = ["ver", "pageerase 0 0x1000", "ver", "loadfw --autodetect 1", "flashread 0 4",
                 "disconnect", "connect nosuch", "ver"]
        rc, out = run_flint(["-i"], shell_script(*lines), cwd=cwd)
        self.assertEqual(rc, 0)
        self.assertEqual(out, session(
            VERSION + "\n-OK-\n",
            "please run 'connect' cmd first.\n-ERR: -1-\n",
            VERSION + "\n-OK-\n",
            "please run 'connect' cmd first.\n-ERR: -2-\n",
            "please run 'connect' cmd first.\n-ERR: -1-\n",
            "-OK-\n",
            "open nosuch error!\n-ERR: 2-\n",
            VERSION + "\n-OK-\n"))


if __name__ == "__main__":
    unittest.main()
