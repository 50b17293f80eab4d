#include "batch/script.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/oem_config.h"
#include "common/text.h"
#include "common/timing.h"
#include "image/mp_header.h"
#include "link/flash_ops.h"
#include "link/program_mode.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "shell/cmd.h"
#include "record/run_record.h"

char prog_script[SCRIPT_LINES][SCRIPT_LINE_BYTES];
char dbgpasswd_script[DBGPASSWD_LINES][SCRIPT_LINE_BYTES];
script_line_runner script_exec_line = cmd_exec_line;

namespace {

const char* const MSG_EXECUTING_FAILS = "Executing %s fails\n";
const char* const MSG_PREPARE_REBOOT = "Prepare to reboot...\n";
const char* const MSG_DETECTION_OK = "Mode detection OK!\n";
const char* const MSG_MODE_DETERMINED = "mode determinated!\n";
const char* const MSG_COMBINATION_OK = "CMD combination OK!!!\n";
const char* const MSG_CMD = "CMD[%d] %s\n";
const char* const MSG_RETRYING = "Retrying, cnt = %d\n";
const char* const MSG_RETRY_SUCCESS = "Retry success at cnt = %d\n";
const char* const MSG_RETRY_OVERFLOW = "Retry Counter OVERFLOW\n";
const char* const MSG_INTERRUPTED = "interrupted: the run stopped before %s\n";
const char* const MSG_LINE_TOO_LONG =
    "the script line \"%.60s...\" would be %d characters long, at most %u fit; nothing was run\n";
const char* const MSG_PATH_TOO_LONG =
    "the image path %s%c%s is longer than %u characters; nothing was run\n";
const char* const MSG_HAS_BLANK =
    "%s \"%s\" contains a blank, which would split its script line; nothing was run\n";
const char* const MSG_FOLDER_HAS_BLANK =
    "the program folder \"%s\" holds a blank, which would split its loader line, and the volume gives "
    "it no short name without one: unpack flint into a folder whose path holds no blank "
    "(for example C:\\flint); nothing was run\n";
const char* const MSG_BAD_PAYLOAD = "%s: its payload cannot be read; nothing was run\n";
const char* const MSG_TOO_LARGE = "%s: its payload of %lld bytes is too large; nothing was run\n";
const char* const MSG_BAD_BDADDR = "convert BT address error!\n";

const char* const WORD_VERIFY = "flashverify";
const char* const WORD_MERGE = "configmerge";
constexpr size_t RETRY_WORD_CHARS = 11;

constexpr int32_t BUILD_FAILED = -1;
constexpr int32_t RUN_INTERRUPTED = -1;

// Fills an array of script lines; a line that does not fit refuses the
// whole script with a message.
class script_builder {
public:
    script_builder(char (*lines)[SCRIPT_LINE_BYTES], int32_t capacity)
        : lines_(lines), capacity_(capacity) {}

    __attribute__((format(gnu_printf, 2, 3))) void add(const char* fmt, ...) {
        if (!ok_) return;
        char line[SCRIPT_LINE_BYTES];
        va_list ap;
        va_start(ap, fmt);
        const int n = std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        if (n < 0 || static_cast<uint32_t>(n) >= sizeof line || count_ >= capacity_) {
            con_err(MSG_LINE_TOO_LONG, line, n, SCRIPT_LINE_BYTES - 1);
            failure_note(failure_class::usage);
            ok_ = false;
            return;
        }
        std::memcpy(lines_[count_++], line, static_cast<size_t>(n) + 1);
    }

    // A text that becomes one word of a line must hold no blank: the
    // dispatcher splits lines at blanks.
    bool word(const char* what, const char* text) {
        if (ok_ && std::strchr(text, ' ') != nullptr) {
            con_err(MSG_HAS_BLANK, what, text);
            failure_note(failure_class::usage);
            ok_ = false;
        }
        return ok_;
    }

    void fail() { ok_ = false; }
    bool ok() const { return ok_; }
    int32_t count() const { return count_; }

private:
    char (*lines_)[SCRIPT_LINE_BYTES];
    int32_t capacity_;
    int32_t count_ = 0;
    bool ok_ = true;
};

bool has_blank(const std::string& text) { return text.find(' ') != std::string::npos; }

bool has_prefix(const char* line, const char* word) {
    return std::strncmp(line, word, RETRY_WORD_CHARS) == 0 && std::strlen(word) == RETRY_WORD_CHARS;
}

// A file the run reads must open before the first line runs: a mistyped
// name found only at its own line would come after the erase before it.
void need_input_file(const char* path, script_builder& s) {
    if (!s.ok()) return;
    cmd_file file(path);
    if (file.is_open()) return;
    file.report_not_open();
    s.fail();
}

// A dump file named on the command line must be written under the name
// that was typed, not a look-alike the platform's arguments turned it into.
void need_output_as_typed(const char* path, script_builder& s) {
    if (!s.ok() || path == nullptr || plat_arg_as_typed(path)) return;
    con_err(MSG_OPEN_FAILS, path);
    failure_note(failure_class::input);
    s.fail();
}

// The device address is checked before the first line runs, not only when
// its line comes after the loader download.
void need_bdaddr(const batch_options& o, script_builder& s) {
    uint8_t mac[BT_ADDR_BYTES];
    if (!s.ok() || !o.bdaddr || config_parse_bt_address(o.bdaddr_text, mac)) return;
    con_err(MSG_BAD_BDADDR);
    failure_note(failure_class::usage);
    s.fail();
}

// The loader line names the "fw" folder beside the program. A program
// folder with a blank (C:\Program Files\...) goes into the line by its short
// name, which holds none; where the volume keeps no short names the run is
// refused.
void loader_line(const batch_options& o, uint32_t mode, script_builder& s) {
    const char* last = plat_last_separator(o.program_path);
    if (last == nullptr) {
        s.add("loadfw --autodetect %d", static_cast<int>(mode));
        return;
    }
    const std::string folder(o.program_path, static_cast<size_t>(last - o.program_path));
    const std::string in_line = has_blank(folder) ? plat_short_path(folder) : folder;
    if (s.ok() && has_blank(in_line)) {
        con_err(MSG_FOLDER_HAS_BLANK, folder.c_str());
        s.fail();
    }
    s.add("loadfw --autodetect %s%cfw %d", in_line.c_str(), plat_path_separator(), static_cast<int>(mode));
}

void single_image_lines(const batch_options& o, script_builder& s) {
    if (o.chip_erase) {
        s.add("chiperase");
    } else if (o.erase) {
        s.add("pageerase 0x%X 0x%X", o.address, o.size);
    }
    if ((o.program || o.verify || o.save) && o.image_file != nullptr) s.word("the image file", o.image_file);
    if (o.program) s.add("program %s 0x%X", o.image_file, o.address);
    if (o.verify) s.add("flashverify %s 0x%X", o.image_file, o.address);
    if (o.modify && s.word("the new byte values", o.modify_values))
        s.add("modify 0x%X %s", o.address, o.modify_values);
    if (o.save) need_output_as_typed(o.image_file, s);
    if (o.save) s.add("savebin %s 0x%X 0x%X", o.image_file, o.address, o.size);
    if (o.bdaddr && s.word("the device address", o.bdaddr_text)) {
        record_device_address_line(s.count());
        s.add("addmac %s 0x%X", o.bdaddr_text, o.bdaddr_location);
    }
    if (o.program || o.verify) need_input_file(o.image_file, s);
}

// The lines of one image slot; BUILD_FAILED after a message.
int32_t slot_lines(const batch_options& o, const image_slot& slot, script_builder& s) {
    const char sep = plat_path_separator();
    char path[SCRIPT_LINE_BYTES];
    const int n = std::snprintf(path, sizeof path, "%s%c%s", slot.folder, sep, slot.file);
    if (n < 0 || static_cast<uint32_t>(n) >= sizeof path) {
        con_err(MSG_PATH_TOO_LONG, slot.folder, sep, slot.file, SCRIPT_LINE_BYTES - 1);
        failure_note(failure_class::usage);
        return BUILD_FAILED;
    }
    if (!s.word("the image path", path) || !s.word("the image address", slot.address)) return BUILD_FAILED;
    // Only a regular file is opened: a FIFO would hold the run forever.
    const cmd_file f(path);
    if (!f.is_open()) {
        f.report_not_open();
        return BUILD_FAILED;
    }
    const int64_t payload = mp_payload_length(f.get());
    if (payload < 0) {
        con_err(MSG_BAD_PAYLOAD, path);
        failure_note(failure_class::input);
        return BUILD_FAILED;
    }
    if (payload > static_cast<int64_t>(UINT32_MAX - (SCRIPT_ERASE_UNIT - 1))) {
        con_err(MSG_TOO_LARGE, path, static_cast<long long>(payload));
        failure_note(failure_class::input);
        return BUILD_FAILED;
    }
    const uint32_t erase_size =
        (static_cast<uint32_t>(payload) + SCRIPT_ERASE_UNIT - 1) / SCRIPT_ERASE_UNIT * SCRIPT_ERASE_UNIT;
    const bool config_image = mp_is_not_oem_config(f.get()) == 0;
    if (!config_image) {
        if (!o.chip_erase) s.add("pageerase %s 0x%X", slot.address, erase_size);
        s.add("program %s %s", path, slot.address);
        s.add("flashverify %s %s", path, slot.address);
    } else {
        if (o.no_merge && !o.chip_erase) s.add("pageerase %s 0x%X", slot.address, SCRIPT_CONFIG_ERASE);
        if (o.bdaddr) {
            if (s.word("the device address", o.bdaddr_text)) {
                record_device_address_line(s.count());
                s.add("configmerge %s %s %s", path, slot.address, o.bdaddr_text);
            }
        } else {
            s.add("configmerge %s %s", path, slot.address);
        }
    }
    return s.ok() ? 0 : BUILD_FAILED;
}

// The programming script for `mode` into prog_script; its line count, or
// BUILD_FAILED after a message (nothing has been run then).
int32_t build_script(const batch_options& o, uint32_t mode) {
    script_builder s(prog_script, SCRIPT_LINES);
    s.word("the port", o.port);
    need_bdaddr(o, s);
    s.add("ver");
    if (mode == SINGLE_WIRE_UART_MODE) {
        s.add("setenv DATA_SIZE_PER_PACKET 4096");
        s.add("connect %s 2000000", o.port);
    } else {
        s.add("connect %s", o.port);
    }
    loader_line(o, mode, s);
    if (mode != SINGLE_WIRE_UART_MODE && s.word("the baud rate", o.baud)) s.add("setbaudrate %s", o.baud);
    if (!o.auto_images && !o.packed) {
        single_image_lines(o, s);
    } else {
        if (o.chip_erase) s.add("chiperase");
        for (const image_slot& slot : o.images) {
            if (!s.ok()) break;
            if (image_slot_unused(slot) || slot.enable == 0) continue;
            if (slot_lines(o, slot, s) != 0) return BUILD_FAILED;
        }
    }
    if (o.efuse && s.word("the eFuse file", o.efuse_file)) s.add("efuseburn %s", o.efuse_file);
    if (o.efuse) need_input_file(o.efuse_file, s);
    if (o.reboot) s.add("reboot");
    s.add("disconnect");
    return s.ok() ? s.count() : BUILD_FAILED;
}

// One line through the dispatcher, its start, end and result told to the
// run record.
int32_t exec_line(run_phase phase, int32_t number, const char* line) {
    record_line_start(phase, number, line);
    const int32_t r = script_exec_line(line);
    record_line_end(r);
    return r;
}

// A failed line ends the run: "Executing %s fails", and the run record
// takes the class its failure noted.
int32_t line_fails(const char* line, int32_t result) {
    con_err(MSG_EXECUTING_FAILS, line);
    record_line_failed(con_last_error().c_str());
    return result;
}

// The safe point between two lines: after an interrupt the run stops
// before `line` (RUN_INTERRUPTED after a message), else 0.
int32_t stop_point(const char* line) {
    if (!record_interrupted()) return 0;
    con_err(MSG_INTERRUPTED, line);
    return RUN_INTERRUPTED;
}

// Runs lines [from, to) without retries, stopping at the first failure with
// "Executing %s fails"; its result, or 0. `numbered` prints the CMD lines.
int32_t run_plain(char (*lines)[SCRIPT_LINE_BYTES], int32_t from, int32_t to, bool numbered, run_phase phase) {
    for (int32_t i = from; i < to; ++i) {
        const int32_t stop = stop_point(lines[i]);
        if (stop != 0) return stop;
        if (numbered) std::printf(MSG_CMD, i, lines[i]);
        const int32_t r = exec_line(phase, i, lines[i]);
        if (r != 0) return line_fails(lines[i], r);
    }
    return 0;
}

// Mode detection: connect, read_efuse into the options' program mode field,
// a reboot when the module runs a factory image, disconnect. 0 or the
// result of the line that failed.
int32_t detect_mode(batch_options* o) {
    char lines[DETECT_LINES][SCRIPT_LINE_BYTES];
    script_builder s(lines, DETECT_LINES);
    cur_ops = &hci_ops;
    s.add("connect %s", o->port);
    // read_efuse writes only through the field registered here; the line
    // names it by its address.
    s.add("read_efuse %s", read_efuse_register_field(&o->program_mode));
    int32_t r = s.ok() ? run_plain(lines, 0, 2, false, run_phase::detection) : BUILD_FAILED;
    if (r == 0) {
        if (o->program_mode == FACTORY_IMAGE_MODE) {
            s.add("reboot");
            std::printf(MSG_PREPARE_REBOOT);
        }
        s.add("disconnect");
        r = run_plain(lines, 2, s.count(), false, run_phase::detection);
    }
    read_efuse_register_field(nullptr);
    return r;
}

// Runs prog_script[from..at] again, up to the retry limit, until line `at`
// succeeds: 0 when a retry cured it; line at's last result after the limit;
// or the result of an earlier line that failed (*fatal set, reported).
int32_t retry_lines(int32_t from, int32_t at, int32_t result, bool* fatal) {
    for (int32_t cnt = 1; cnt <= SCRIPT_RETRY_LIMIT; ++cnt) {
        std::printf(MSG_RETRYING, cnt);
        record_retry(at, cnt + 1);
        int32_t r = run_plain(prog_script, from, at, false, run_phase::script);
        if (r == 0) r = stop_point(prog_script[at]);
        if (r != 0) {
            *fatal = true;
            return r;
        }
        result = exec_line(run_phase::script, at, prog_script[at]);
        if (result == 0) {
            std::printf(MSG_RETRY_SUCCESS, cnt);
            return 0;
        }
    }
    std::printf(MSG_RETRY_OVERFLOW);
    return result;
}

// How many lines before a failed line its retry runs again: a verify
// repeats its erase and program, a merge only itself; -1 for no retry.
int32_t retry_reach(int32_t at) {
    if (at >= 2 && has_prefix(prog_script[at], WORD_VERIFY)) return 2;
    if (has_prefix(prog_script[at], WORD_MERGE)) return 0;
    return -1;
}

// Runs prog_script. A verify or merge that its retries do not cure lets the
// script go on (the later lines, disconnect included, still run) but becomes
// the run's result, so the run never ends 0 when the module does not hold
// what was asked.
int32_t run_script(int32_t count) {
    int32_t uncured = 0;
    int32_t last = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t stop = stop_point(prog_script[i]);
        if (stop != 0) return stop;
        std::printf(MSG_CMD, i, prog_script[i]);
        int32_t r = exec_line(run_phase::script, i, prog_script[i]);
        const int32_t reach = r != 0 ? retry_reach(i) : -1;
        if (r != 0 && reach < 0) return line_fails(prog_script[i], r);
        if (r != 0) {
            bool fatal = false;
            r = retry_lines(i - reach, i, r, &fatal);
            if (fatal) return r;
            if (r != 0) record_line_failed(MSG_RETRY_OVERFLOW);
            if (r != 0 && uncured == 0) uncured = r;
        }
        last = r;
    }
    // An interrupt during the last line still fails the run: it was not
    // let run to its end.
    const int32_t stop = stop_point("the end of the script");
    if (stop != 0) return stop;
    return uncured != 0 ? uncured : last;
}

}  // namespace

int32_t batch_run(batch_options* o) {
    // Every line is built once before the module is touched, so a line that
    // cannot be built refuses the run before anything runs. The mode digit of
    // the loader line is one character whatever the mode detected.
    const uint32_t trial_mode = o->mode_given ? o->program_mode : RAM_PATCH_VENDOR_WRITE_MODE;
    if (build_script(*o, trial_mode) < 0) return BUILD_FAILED;
    if (!o->mode_given) {
        const int32_t r = detect_mode(o);
        if (r != 0) return r;
    }
    std::printf(MSG_DETECTION_OK);
    record_mode(o->program_mode, o->mode_given);
    cur_ops = ops_for_program_mode(o->program_mode);
    std::printf(MSG_MODE_DETERMINED);
    const int32_t count = build_script(*o, o->program_mode);
    if (count < 0) return BUILD_FAILED;
    std::printf(MSG_COMBINATION_OK);
    return run_script(count);
}

int32_t dbgpasswd_run(const char* port, const char* password) {
    script_builder s(dbgpasswd_script, DBGPASSWD_LINES);
    s.word("the port", port);
    s.word("the debug password", password);
    s.add("ver");
    s.add("connect %s", port);
    s.add("dbgpasswd %s", password);
    if (!s.ok()) return BUILD_FAILED;
    return run_plain(dbgpasswd_script, 0, s.count(), true, run_phase::script);
}
