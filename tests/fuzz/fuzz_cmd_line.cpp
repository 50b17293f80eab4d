// The shell's line splitter and dispatcher: lines of the fuzz input through
// cmd_exec_line. Commands whose words name files to read or write (and those
// that size a buffer from their words) are replaced by a recorder that checks
// what the dispatcher hands over; the others run for real against the fake
// serial port, whose module answers from the bytes behind the first zero.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/connection.h"
#include "fake_platform.h"
#include "link/env.h"
#include "link/flash_ops.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "link/swd.h"
#include "shell/cmd.h"
#include "shell/shell.h"

namespace {

// Rows that run a recorder instead of their handler.
const char* const RECORDED[] = {"loadfirmware", "loadfw", "savebin", "configmerge", "program", "modify",
                                "flashread", "extprogram", "extflashread", "flashverify", "extflashverify",
                                "efuseburn"};

std::string current_line;
const cmd_entry* expected_row = nullptr;
bool recorder_ran = false;

// The words of a line as the shell means them: split at blanks, at most 8.
std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (words.size() < static_cast<size_t>(CMD_MAX_ARGS)) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (at >= line.size()) break;
        size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

int32_t recorder(int32_t argc, char** argv) {
    recorder_ran = true;
    const std::vector<std::string> words = words_of(current_line);
    if (argc != static_cast<int32_t>(words.size()) || argv[argc] != nullptr) std::abort();
    for (int32_t i = 0; i < argc; ++i)
        if (argv[i] == nullptr || words[static_cast<size_t>(i)] != argv[i]) std::abort();
    return argc;
}

// The first row whose name begins the line, as the table's order decides.
const cmd_entry* first_row(const std::string& line) {
    for (const cmd_entry& row : cmd_table)
        if (line.compare(0, std::strlen(row.name), row.name) == 0) return &row;
    return nullptr;
}

std::vector<cmd_handler> real_handlers;

void reset_state() {
    env_clear();
    connection_state = 0;
    cur_ops = &hci_ops;
    link_kind = LINK_SERIAL;
    link_late_bytes = 0;
    packet_size = PACKET_SIZE_DEFAULT;
    com_handle = nullptr;
    shell_quit = 0;
    swd_device = &swd_family_4410c;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-cmd");
    for (cmd_entry& row : cmd_table) {
        for (const char* name : RECORDED)
            if (std::strcmp(row.name, name) == 0) row.handler = recorder;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t text_size = zero != nullptr ? static_cast<size_t>(zero - data) : size;
    if (zero != nullptr) fake::serve(zero + 1, size - text_size - 1);
    else fake::serve(nullptr, 0);
    reset_state();
    // Each line as the shell would take it: at most SHELL_LINE_BYTES - 1.
    std::string text(reinterpret_cast<const char*>(data), text_size);
    size_t at = 0;
    while (at <= text.size() && shell_quit == 0) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        current_line = text.substr(at, end - at);
        if (current_line.size() >= SHELL_LINE_BYTES) current_line.resize(SHELL_LINE_BYTES - 1);
        expected_row = first_row(current_line);
        recorder_ran = false;
        const int32_t result = cmd_exec_line(current_line.c_str());
        if (expected_row == nullptr && result != CMD_UNKNOWN) std::abort();
        if (recorder_ran && expected_row->handler != recorder) std::abort();
        at = end + 1;
    }
    reset_state();
    return 0;
}
