// The command line of a run: option parsing, checks and the help text.
#pragma once
#include <cstdint>

// Everything after the "--version" test of the program start; the result is
// the exit code.
int32_t options_run(int argc, char** argv);

void options_print_help();
