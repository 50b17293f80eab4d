// Console output rules: progress to standard output, refusals and failures to
// standard error. Production lines capture both streams into one log, so an
// error line first flushes what standard output still holds; the two streams
// then reach a shared pipe or file in the order the program wrote them.
#pragma once
#include <string>

// Opens closed standard streams to the null device, then sets the streams up
// so that output appears line by line, in program order across both streams
// (plat_standard_streams_open, plat_console_init).
void con_init();

// printf-style line to standard error, after flushing standard output. The
// formats are the C99 ones on every platform (on Windows the runtime's own
// printf family is replaced by the toolchain's standard one), hence gnu_printf.
void con_err(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

// The first line con_err printed since con_error_mark() and the last one it
// printed at all ("" for none): the run record quotes them.
void con_error_mark();
const std::string& con_first_error();
const std::string& con_last_error();
