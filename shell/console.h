// Console output rules: progress to standard output, refusals and failures to
// standard error. Production lines capture both streams into one log, so an
// error line first flushes what standard output still holds; the two streams
// then reach a shared pipe or file in the order the program wrote them.
#pragma once

// Line-buffers standard output and leaves standard error unbuffered.
void con_init();

// printf-style line to standard error, after flushing standard output.
void con_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
