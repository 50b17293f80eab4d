// The byte trace. When the environment variable FLINT_TRACE names a file,
// every transfer on the link is appended to it, one line each:
//
//   MS DIR LINK RATE DATA
//
// MS is the time in milliseconds since the program started, DIR is "tx"
// (flint to the module), "rx" (the module to flint) or "--" (a note or a
// probe call that moves no data), LINK is serial, usb or swd, RATE the line
// rate in force (bit/s on serial, "-" on USB, the probe's speed in kHz on
// SWD), DATA the bytes in hex, or for SWD the probe call with its arguments
// and result (followed by ": " and the bytes it moved).
//
// Unset, the trace costs one test of trace_state per transfer.
#pragma once
#include <cstdint>

// -1 until the first transfer looks at FLINT_TRACE, then 0 (no trace) or 1.
extern int8_t trace_state;

// Reads FLINT_TRACE and opens its file for appending; true when tracing.
// A file that cannot be opened is reported once on standard error and the
// run goes on without a trace.
bool trace_start();

inline bool trace_on() { return trace_state > 0 || (trace_state < 0 && trace_start()); }

// One line: the bytes of a transfer (`n` may be 0).
void trace_bytes(const char* dir, const char* link, const char* rate, const uint8_t* bytes, uint32_t n);
// One line of text in place of the bytes, printf-style.
void trace_text(const char* dir, const char* link, const char* rate, const char* fmt, ...)
    __attribute__((format(gnu_printf, 4, 5)));
// One line of text followed by ": " and the bytes.
void trace_text_bytes(const char* dir, const char* link, const char* rate, const char* text,
                      const uint8_t* bytes, uint32_t n);

// Ends the trace (the file is closed); the next transfer looks again.
// For tests.
void trace_stop();
