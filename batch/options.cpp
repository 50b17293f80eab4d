// The command line of a run. Until the one-shot programming front end is
// built, this reads the options for -i, -h and -V and refuses the rest.
#include "batch/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/console.h"
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

const char* const MSG_INVALID_OPTION = "%s: invalid option -- %c\n";
const char* const MSG_MISSING_VALUE = "%s: option requires an argument -- %c\n";
const char* const MSG_UNRECOGNIZED = "%s: unrecognized option '%s'\n";

const char* const END_OF_OPTIONS = "--";
const char* const IN_ORDER_VARIABLE = "POSIXLY_CORRECT";

// Reads the option letters of a command line. Letters may be grouped in one
// word; a letter that takes a value takes the rest of its word, or else the
// next word that does not begin with "-" (the words with "-" in between are
// still read as options, so "-c -h" shows the help instead of opening a port
// named -h). "--" ends the options; other words play no part, and with
// POSIXLY_CORRECT set the options end at the first of them.
class option_reader {
public:
    static constexpr int END = -1;
    static constexpr int UNKNOWN = '?';        // letter() is 0 for a "--word"
    static constexpr int MISSING_VALUE = ':';  // letter() names the option

    option_reader(int argc, char** argv, const char* letters)
        : argc_(argc), argv_(argv), letters_(letters), taken_(static_cast<size_t>(argc), false),
          in_order_(std::getenv(IN_ORDER_VARIABLE) != nullptr) {}

    int next() {
        while (rest_ == nullptr || *rest_ == '\0')
            if (!next_word()) return END;
        if (rest_ == word_letters() && rest_[0] == '-') {  // a "--word": no long options exist
            letter_ = 0;
            rest_ = nullptr;
            return UNKNOWN;
        }
        letter_ = *rest_++;
        value_ = nullptr;
        const char* known = letter_ != ':' ? std::strchr(letters_, letter_) : nullptr;
        if (known == nullptr) return UNKNOWN;
        if (known[1] != ':') return letter_;
        if (*rest_ != '\0') {
            value_ = rest_;
            rest_ = nullptr;
            return letter_;
        }
        for (int i = word_ + 1; i < argc_; ++i) {
            if (taken_[static_cast<size_t>(i)] || argv_[i][0] == '-') continue;
            taken_[static_cast<size_t>(i)] = true;
            value_ = argv_[i];
            return letter_;
        }
        return MISSING_VALUE;
    }

    char letter() const { return letter_; }
    const char* value() const { return value_; }
    const char* word() const { return argv_[word_]; }

private:
    const char* word_letters() const { return argv_[word_] + 1; }

    // Moves to the next word that holds option letters; false when the
    // options have ended.
    bool next_word() {
        rest_ = nullptr;
        while (++word_ < argc_) {
            if (taken_[static_cast<size_t>(word_)]) continue;
            const char* w = argv_[word_];
            if (std::strcmp(w, END_OF_OPTIONS) == 0) break;
            if (w[0] == '-' && w[1] != '\0') {
                rest_ = w + 1;
                return true;
            }
            if (in_order_) break;
        }
        word_ = argc_;
        return false;
    }

    int argc_;
    char** argv_;
    const char* letters_;
    std::vector<bool> taken_;  // words already taken as values
    bool in_order_;
    int word_ = 0;
    const char* rest_ = nullptr;  // letters of the current word not yet read
    char letter_ = 0;
    const char* value_ = nullptr;
};

}  // namespace

void options_print_help() { std::fputs(kHelpText, stdout); }

int32_t options_run(int argc, char** argv) {
    bool interactive = false;
    bool connection_given = false;
    option_reader options(argc, argv, kOptString);
    int c;
    while ((c = options.next()) != option_reader::END) {
        switch (c) {
        case 'i': interactive = true; break;
        case 'h': options_print_help(); return 0;
        case 'V': print_version(); return 0;
        case 'c':
        case 'f': connection_given = true; break;
        case option_reader::MISSING_VALUE: con_err(MSG_MISSING_VALUE, argv[0], options.letter()); break;
        case option_reader::UNKNOWN:
            if (options.letter() != 0)
                con_err(MSG_INVALID_OPTION, argv[0], options.letter());
            else
                con_err(MSG_UNRECOGNIZED, argv[0], options.word());
            break;
        default: break;
        }
    }
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
