// The command table and the dispatcher that every command line goes through.
#pragma once
#include <cstdint>

constexpr int32_t CMD_UNKNOWN = 127;
constexpr int32_t CMD_TABLE_ROWS = 40;
constexpr int32_t CMD_MAX_ARGS = 8;       // argument strings a handler can get
constexpr uint32_t CMD_ARG_BYTES = 256;   // buffer of one argument string
constexpr uint32_t CMD_LINE_BYTES = 256;  // a command line

using cmd_handler = int32_t (*)(int32_t argc, char** argv);
using cmd_usage_printer = void (*)();

struct cmd_entry {
    char name[32];
    cmd_handler handler;
    cmd_usage_printer usage;
    int32_t argc;
    char** argv;
};

extern cmd_entry cmd_table[CMD_TABLE_ROWS];

// Row whose name the line begins with (first in table order), with the line
// split into its argc/argv; nullptr when none matches.
cmd_entry* cmd_find(const char* line);
// Splits at blanks into at most slots-1 strings, null behind the last.
int32_t cmd_split(const char* line, int32_t slots, char** array);
// Frees the argument strings cmd_find made and empties the array.
void cmd_release_args(char** argv);
// Finds, runs and releases the arguments; CMD_UNKNOWN when no row matches.
int32_t cmd_run_line(const char* line);
// cmd_run_line, then prints "-OK-" / "-ERR: %d-".
int32_t cmd_exec_line(const char* line);
// The outcome line of a result: "-OK-", or "-ERR: %d-" (after "Unknown
// command. 'help' for help" for CMD_UNKNOWN).
void cmd_report(int32_t result);
void cmd_print_names();
// 0 after printing the usage of the row the word names; 127 when none.
int32_t cmd_print_usage(const char* word);

