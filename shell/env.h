// The shell's environment commands over the store of link/env.h.
#pragma once
#include <cstdint>

// Prints every variable as "NAME=VALUE" lines; 0.
int32_t env_print_all();

int32_t do_setenv(int32_t argc, char** argv);
int32_t do_saveenv(int32_t argc, char** argv);
int32_t do_unsetenv(int32_t argc, char** argv);
int32_t do_printenv(int32_t argc, char** argv);
