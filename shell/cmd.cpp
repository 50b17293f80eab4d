// Dispatcher: prefix matching, splitting, execution and the outcome lines.
#include "shell/cmd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace {

// The argument array shared by all lines: 8 strings and the null behind them.
char* cmd_args[CMD_MAX_ARGS + 1];

constexpr char kBlank = ' ';

bool row_matches(const cmd_entry& row, const char* line) {
    size_t n = std::strlen(row.name);
    return std::strncmp(line, row.name, n) == 0;
}

cmd_entry* find_row(const char* word) {
    for (cmd_entry& row : cmd_table)
        if (row_matches(row, word)) return &row;
    return nullptr;
}

}  // namespace

void cmd_release_args(char** argv) {
    for (int i = 0; i <= CMD_MAX_ARGS && argv[i] != nullptr; ++i) {
        std::free(argv[i]);
        argv[i] = nullptr;
    }
}

int32_t cmd_split(const char* line, int32_t slots, char** array) {
    if (slots - 1 < 1) {
        array[0] = nullptr;
        return 0;
    }
    int32_t count = 0;
    const char* p = line;
    while (count < slots - 1) {
        while (*p == kBlank) ++p;
        if (*p == '\0') break;
        const char* end = p;
        while (*end != '\0' && *end != kBlank) ++end;
        size_t len = static_cast<size_t>(end - p);
        // A word can never exceed a line, so a CMD_ARG_BYTES buffer holds it;
        // longer words (only possible from callers outside the shell) are
        // given a buffer of their own length rather than being cut.
        size_t cap = len + 1 > CMD_ARG_BYTES ? len + 1 : CMD_ARG_BYTES;
        char* word = static_cast<char*>(std::calloc(cap, 1));
        if (word == nullptr) break;
        std::memcpy(word, p, len);
        array[count++] = word;
        p = end;
    }
    array[count] = nullptr;
    return count;
}

cmd_entry* cmd_find(const char* line) {
    cmd_entry* row = find_row(line);
    if (row == nullptr) return nullptr;
    row->argc = cmd_split(line, CMD_MAX_ARGS + 1, cmd_args);
    row->argv = cmd_args;
    return row;
}

int32_t cmd_run_line(const char* line) {
    cmd_entry* row = cmd_find(line);
    if (row == nullptr) return CMD_UNKNOWN;
    const int32_t result = row->handler(row->argc, row->argv);
    cmd_release_args(row->argv);
    return result;
}

int32_t cmd_exec_line(const char* line) {
    const int32_t result = cmd_run_line(line);
    cmd_report(result);
    return result;
}

void cmd_report(int32_t result) {
    if (result == 0) {
        std::printf("-OK-\n");
    } else {
        if (result == CMD_UNKNOWN) std::printf("Unknown command. 'help' for help\n");
        std::printf("-ERR: %d-\n", result);
    }
}

void cmd_print_names() {
    for (const cmd_entry& row : cmd_table) std::printf("%s\n", row.name);
}

int32_t cmd_print_usage(const char* word) {
    cmd_entry* row = find_row(word);
    if (row == nullptr) return CMD_UNKNOWN;
    row->usage();
    return 0;
}
