// The command line of a run. Until the one-shot programming front end is
// built, this reads the options for -i, -h and -V and refuses the rest.
#include "batch/options.h"

#include <getopt.h>

#include <cstdio>
#include <string>

#include "shell/console.h"
#include "shell/shell.h"

namespace {

const char* const kOptString = "iP:hc:b:epsm:vaEF:A:S:f:rM:Vx:dD:u:H";

const char* const kHelpText =
    "flint - A tool used for flash programming\n"
    "Usage: flint [OPTION]\n"
    "   -i              interactive mode, default option, no more options work if it exists\n"
    "   -h              help menu (this screen)\n"
    "   -c              com port, e.g., -c COM6\n"
    "   -b              baud rate, e.g., -b 9600\n"
    "   -e              erase, need to be used with -A and -S together\n"
    "   -p              program, need to be used with -A and -F together\n"
    "   -v              verify, like -p, need to be used with -A and -F together\n"
    "   -s              savebin, need to be used with -A ,-F and -S together\n"
    "   -m              modify bytes in sequence, following new values(in hex, separated by colon, maximum 32 bytes), need to be used with -A\n"
    "   -a              programming binary files from config file automatically.\n"
    "                   If -a is enable, -e -p -v -A -F will be ignored.\n"
    "   -E              chip erase.\n"
    "   -F              bin file pathname, e.g., -F D:\\Some\\Path\\To\\XXX.bin\n"
    "   -A              address in Hex, e.g., -A 0x802000\n"
    "   -S              size to be erased in bytes, e.g., -S 4096\n"
    "   -f              config file, see config file rules\n"
    "   -D              debug password in Hex, e.g., -D 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF\n"
    "   -u              programming eFuse\n"
    "   -r              reboot\n"
    "   -x              BT address\n"
    "   -d              disable merge oem/socv config image\n"
    "   -P              Packed Image\n"
    "   -M              Mandatory option. Selection of program mode:\n"
    "                   0: HCI mode\n"
    "                   1: Vendor Write mode (for Develop)\n"
    "                   2: Factory Image mode\n"
    "                   3: RAM Patch mode\n"
    "                   4: Single Wire UART mode\n"
    "   -H,             equal to -M 0\n"
    "   -V, --version   output version information and exit\n";

}  // namespace

void options_print_help() { std::fputs(kHelpText, stdout); }

int32_t options_run(int argc, char** argv) {
    bool interactive = false;
    bool connection_given = false;
    bool any_option = false;
    opterr = 0;
    optind = 1;
    static const struct option kNoLongOptions[] = {{nullptr, 0, nullptr, 0}};
    // A leading ':' makes a missing value distinguishable from an unknown letter.
    std::string optstring = std::string(":") + kOptString;
    int c;
    while ((c = getopt_long(argc, argv, optstring.c_str(), kNoLongOptions, nullptr)) != -1) {
        any_option = true;
        switch (c) {
        case 'i': interactive = true; break;
        case 'h': options_print_help(); return 0;
        case 'V': print_version(); return 0;
        case 'c':
        case 'f': connection_given = true; break;
        case ':': con_err("%s: option requires an argument -- %c\n", argv[0], optopt); break;
        case '?':
            if (optopt != 0)
                con_err("%s: invalid option -- %c\n", argv[0], optopt);
            else
                con_err("%s: unrecognized option '%s'\n", argv[0], argv[optind - 1]);
            break;
        default: break;
        }
    }
    (void)any_option;
    if (interactive) {
        shell_loop();
        return 0;
    }
    if (!connection_given) {
        con_err("please configure connect information by -f or -c!\n");
        return -1;
    }
    con_err("one-shot runs are not available in this build of flint; use -i for the shell\n");
    return -1;
}
