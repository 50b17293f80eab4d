// The command line of a run: the options fill batch_options (the job file
// and the packed image are read while the options are read), the checks
// refuse unusable combinations, and the run is handed to the script builder.
#include "batch/options.h"
#include "batch/option_reader.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "batch/script.h"
#include "common/text.h"
#include "link/program_mode.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "shell/shell.h"

namespace {

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

const char* const MSG_NO_MEMORY = "malloc error!\n";
const char* const MSG_PACKED_ERROR = "parse packed image error!\n";
const char* const MSG_BAD_MODE =
    "Invalid argument for Program Mode, use RAM_PATCH_VENDOR_WRITE_MODE instead\n";
const char* const MSG_NO_CONNECTION = "please configure connect information by -f or -c!\n";
const char* const MSG_PASSWORD_FAILED = "send debug password failed!\n";
const char* const MSG_SAVE_OVERWRITES =
    "it doesn't support to use -s with -p and -v enabled to avoid overwritting the original binary!\n";
const char* const MSG_SAVE_NEEDS = "please configure image address, size and file name by -A, -S and -F!\n";
const char* const MSG_ERASE_NEEDS = "please configure erase address and size by -A and -S!\n";
const char* const MSG_PROGRAM_NEEDS = "please configure program/verify file and address by -F and -A!\n";
const char* const MSG_MODIFY_NEEDS = "please configure erase address by -A!\n";
const char* const MSG_AUTO_NEEDS = "please configure json file by -f!\n";
const char* const MSG_AUTO_AND_PACKED = "cannot configure -P and -a together\n";
const char* const MSG_NO_ACTION = "please configure action by -e, -p, -v, -s, -a, -E, -P, -x or -r!\n";
const char* const MSG_TEXT_TOO_LONG = "the %s %s is longer than %u characters, refused\n";
const char* const MSG_REMOVE_FAILS = "removing the temporary folder %s failed\n";

const char* const MSG_HEX_READ_AS = "warning: -%c \"%s\" is no whole number, it was read as 0x%X\n";
const char* const MSG_DEC_READ_AS = "warning: -%c \"%s\" is no whole number, it was read as %d\n";

const char* const DEFAULT_BAUD = "1000000";
// -M takes exactly one of these words; anything else falls back to mode 1.
const char* const MODE_WORDS[] = {"0", "1", "2", "3", "4"};

// -A and -S: signed 32-bit values in `base` (0x allowed in base 16); beyond
// the range the nearest limit, text that is no number 0. A value with text
// behind its digits (4k) or without digits is read as far as it goes, with
// a warning that names what it was read as.
uint32_t option_number(char letter, const char* text, int base) {
    char* end = nullptr;
    long long v = std::strtoll(text, &end, base);
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    const int32_t value = static_cast<int32_t>(v);
    if (end == text || *end != '\0') {
        if (base == 16)
            con_err(MSG_HEX_READ_AS, letter, text, static_cast<uint32_t>(value));
        else
            con_err(MSG_DEC_READ_AS, letter, text, value);
    }
    return static_cast<uint32_t>(value);
}

int size_base(const char* text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
}

bool set_mode(batch_options* o, const char* value) {
    o->mode_given = true;
    for (uint32_t m = 0; m < sizeof MODE_WORDS / sizeof MODE_WORDS[0]; ++m) {
        if (std::strcmp(value, MODE_WORDS[m]) == 0) {
            o->program_mode = m;
            return true;
        }
    }
    con_err(MSG_BAD_MODE);
    o->program_mode = RAM_PATCH_VENDOR_WRITE_MODE;
    return false;
}

// The checks after the options were read, in their order; 0 or -1 after the
// message of the first that fails.
int32_t check_combination(const batch_options& o) {
    const bool have_file = o.image_file != nullptr;
    if (o.save) {
        if (o.program || o.verify) {
            con_err(MSG_SAVE_OVERWRITES);
            return -1;
        }
        if (!o.address_given || !o.size_given || !have_file) {
            con_err(MSG_SAVE_NEEDS);
            return -1;
        }
    }
    if (o.erase && (!o.address_given || !o.size_given)) {
        con_err(MSG_ERASE_NEEDS);
        return -1;
    }
    if ((o.program || o.verify) && (!have_file || !o.address_given)) {
        con_err(MSG_PROGRAM_NEEDS);
        return -1;
    }
    if (o.modify && !o.address_given) {
        con_err(MSG_MODIFY_NEEDS);
        return -1;
    }
    if (o.auto_images) {
        if (!o.config_given) {
            con_err(MSG_AUTO_NEEDS);
            return -1;
        }
        if (o.packed) {
            con_err(MSG_AUTO_AND_PACKED);
            return -1;
        }
    }
    return 0;
}

// Port and baud of the script: -c and -b over the job file's; 1000000 when
// neither a job file nor -b gave a rate. Texts that do not fit are refused.
int32_t settle_port_and_baud(batch_options* o) {
    if (o->port_text != nullptr && !text_copy(o->port, o->port_text)) {
        con_err(MSG_TEXT_TOO_LONG, "port", o->port_text, BATCH_PORT_BYTES - 1);
        return -1;
    }
    const char* baud = o->baud_text;
    if (!o->config_given && baud == nullptr) baud = DEFAULT_BAUD;
    if (baud != nullptr && !text_copy(o->baud, baud)) {
        con_err(MSG_TEXT_TOO_LONG, "baud rate", baud, BATCH_BAUD_BYTES - 1);
        return -1;
    }
    return 0;
}

bool any_action(const batch_options& o) {
    return o.erase || o.program || o.verify || o.auto_images || o.reboot || o.save || o.packed ||
           o.bdaddr || o.efuse || o.chip_erase;
}

}  // namespace

void options_print_help() { std::fputs(kHelpText, stdout); }

bool batch_records_create(batch_records* r, const char* program_path) {
    r->options = batch_options_create(program_path);
    r->config = tool_config_create();
    r->packed = new (std::nothrow) packed_output();
    if (r->options == nullptr || r->config == nullptr || r->packed == nullptr) {
        con_err(MSG_NO_MEMORY);
        batch_records_release(r);
        return false;
    }
    packed_output_init(r->packed);
    return true;
}

void batch_records_release(batch_records* r) {
    batch_options_release(r->options);
    tool_config_release(r->config);
    delete r->packed;
    *r = batch_records{};
}

void options_end_run(batch_records* r) {
    if (r->options == nullptr || !r->options->packed || r->packed->folder[0] == '\0') return;
    if (plat_remove_tree(r->packed->folder) != 0) con_err(MSG_REMOVE_FAILS, r->packed->folder);
    packed_output_init(r->packed);
}

namespace {

// read_options' result when every option was read and the run goes on.
constexpr int32_t OPTIONS_READ = 1;

// The options that only set fields of the run; false for any other letter.
bool set_field(batch_options* o, int c, const char* value) {
    switch (c) {
    case 'c': o->port_text = value; o->connection_given = true; break;
    case 'b': o->baud_text = value; break;
    case 'e': o->erase = true; break;
    case 'p': o->program = true; break;
    case 's': o->save = true; break;
    case 'm': o->modify = true; o->modify_values = value; break;
    case 'v': o->verify = true; break;
    case 'a': o->auto_images = true; break;
    case 'E': o->chip_erase = true; break;
    case 'F': o->image_file = value; break;
    case 'A': o->address = option_number('A', value, 16); o->address_given = true; break;
    case 'S': o->size = option_number('S', value, size_base(value)); o->size_given = true; break;
    case 'r': o->reboot = true; break;
    case 'M': set_mode(o, value); break;
    case 'x':
        o->bdaddr_text = value;
        o->bdaddr = true;
        o->bdaddr_location = BATCH_BDADDR_LOCATION;
        break;
    case 'd': o->no_merge = true; break;
    case 'D': o->debug_password = value; o->debug_password_given = true; break;
    case 'u': o->efuse = true; o->efuse_file = value; break;
    case 'H': o->mode_given = true; o->program_mode = HCI_MODE; break;
    default: return false;
    }
    return true;
}

// -P: the packed image is unpacked while the options are read.
bool read_packed(const char* path, batch_records* r) {
    r->options->packed = true;
    packed_output_init(r->packed);
    if (packed_img_parser(path, r->options->images, r->packed) == 0) return true;
    con_err(MSG_PACKED_ERROR);
    return false;
}

// -f: the job file's values go into the run.
bool read_job_file(const char* path, batch_records* r) {
    r->options->connection_given = true;
    r->options->config_given = true;
    if (!config_load(path, r->config)) return false;
    // With -P the job file names the port and the rate only: its entries
    // must neither replace nor disable packed sub-images.
    if (r->options->packed)
        config_apply_port(r->options, r->config);
    else
        config_apply(r->options, r->config);
    return true;
}

void report_unknown(const option_reader& options, const char* program) {
    if (options.letter() != 0)
        con_err(MSG_INVALID_OPTION, program, options.letter());
    else
        con_err(MSG_UNRECOGNIZED, program, options.word());
}

// Reads every option: OPTIONS_READ, or the result to end with (-h, -V, a
// packed image or job file that cannot be read).
int32_t read_options(int argc, char** argv, batch_records* r, bool* interactive) {
    option_reader options(argc, argv, FLINT_OPTION_LETTERS);
    for (int c; (c = options.next()) != option_reader::END;) {
        const char* value = options.value();
        if (set_field(r->options, c, value)) continue;
        switch (c) {
        case 'i': *interactive = true; break;
        case 'P': if (!read_packed(value, r)) return -1; break;
        case 'f': if (!read_job_file(value, r)) return -1; break;
        case 'h': options_print_help(); return 0;
        case 'V': print_version(); return 0;
        case option_reader::MISSING_VALUE: con_err(MSG_MISSING_VALUE, argv[0], options.letter()); break;
        case option_reader::UNKNOWN: report_unknown(options, argv[0]); break;
        default: break;
        }
    }
    return OPTIONS_READ;
}

// The one-shot run the options ask for, after the checks.
int32_t start_run(batch_options* o) {
    // An empty -c names no port: "connect" without one would fail only after
    // the lines before it ran.
    const bool empty_port = o->port_text != nullptr && o->port_text[0] == '\0';
    if (!o->connection_given || empty_port) {
        con_err(MSG_NO_CONNECTION);
        return -1;
    }
    if (o->debug_password_given) {
        // Without -c the job file's port is the one to use.
        const char* port = o->port_text != nullptr ? o->port_text : o->port;
        const int32_t result = dbgpasswd_run(port, o->debug_password);
        if (result != 0) con_err(MSG_PASSWORD_FAILED);
        return result;
    }
    if (check_combination(*o) != 0) return -1;
    if (settle_port_and_baud(o) != 0) return -1;
    if (!any_action(*o)) {
        con_err(MSG_NO_ACTION);
        return -1;
    }
    return batch_run(o);
}

}  // namespace

int32_t options_run(int argc, char** argv, batch_records* r) {
    bool interactive = false;
    const int32_t read = read_options(argc, argv, r, &interactive);
    if (read != OPTIONS_READ) return read;
    if (!interactive) return start_run(r->options);
    shell_loop();
    return 0;
}
