// The command line of a run: option parsing, checks and the help text.
#pragma once
#include <cstdint>

#include "batch/batch_options.h"
#include "batch/config.h"
#include "image/packed_image.h"

// The records of a run, created by the program start before the options are
// read and released at its end.
struct batch_records {
    batch_options* options;
    tool_config* config;
    packed_output* packed;  // the packed image parser's output (-P)
};

// false after "malloc error!" when memory runs out (nothing is left allocated).
bool batch_records_create(batch_records* r, const char* program_path);
void batch_records_release(batch_records* r);

// Everything after the "--version" test of the program start: reads the
// options into the records, then runs the shell, the debug password run or
// the checks and the programming run. The result is the exit code.
int32_t options_run(int argc, char** argv, batch_records* r);

// The end of every run: when -P was given, the packed image's temporary
// folder is removed with everything in it.
void options_end_run(batch_records* r);

void options_print_help();
