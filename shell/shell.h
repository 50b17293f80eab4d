// Program entry's interactive shell and its own commands.
#pragma once
#include <cstdint>

extern int32_t shell_quit;

constexpr uint32_t SHELL_LINE_BYTES = 255;  // 254 characters and the terminator

void shell_loop();
void print_version();

int32_t do_ver(int32_t argc, char** argv);
int32_t do_help(int32_t argc, char** argv);
int32_t do_shell(int32_t argc, char** argv);
int32_t do_exit(int32_t argc, char** argv);
