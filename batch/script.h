// The programming script: a one-shot run is written as ordinary shell command
// lines, the lines a user could type in the shell, and run one after the
// other through the dispatcher with retries for verification and
// configuration merges.
#pragma once
#include <cstdint>

#include "batch/batch_options.h"

constexpr int32_t SCRIPT_LINES = 128;
constexpr uint32_t SCRIPT_LINE_BYTES = 256;   // 255 characters and the terminator
constexpr int32_t DETECT_LINES = 4;
constexpr int32_t DBGPASSWD_LINES = 3;
constexpr uint32_t SCRIPT_ERASE_UNIT = 4096;
constexpr uint32_t SCRIPT_CONFIG_ERASE = 0x2000;  // before a configuration image with -d

extern char prog_script[SCRIPT_LINES][SCRIPT_LINE_BYTES];
extern char dbgpasswd_script[DBGPASSWD_LINES][SCRIPT_LINE_BYTES];

// Runs one line and prints its outcome ("-OK-" / "-ERR: %d-"): cmd_exec_line.
// Tests put a recorder here to see the lines a run would execute.
using script_line_runner = int32_t (*)(const char* line);
extern script_line_runner script_exec_line;

// A programming run: mode detection when no mode was given, then the script
// built from the options. The result is the run's exit code: 0 only when
// every line succeeded or was cured by its retries.
int32_t batch_run(batch_options* options);

// The debug password run: ver, connect PORT, dbgpasswd PASSWORD.
int32_t dbgpasswd_run(const char* port, const char* password);
