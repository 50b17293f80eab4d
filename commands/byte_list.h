// Byte values typed as hexadecimal pieces separated by ':' ("00:1A:ff"), as
// Bluetooth addresses and debug passwords are given.
#pragma once
#include <cstdint>

// Reads at most `max` pieces of one or two hex digits, each behind a ':'
// (but the first), from the start of `text` into `out`. Returns the number of
// pieces read; *end is the first character not taken: '\0' when the text was
// used up, ':' when more pieces follow, anything else where a piece is not one
// or two hex digits or a separator is missing.
uint32_t cmd_byte_list(const char* text, uint8_t* out, uint32_t max, const char** end);

// The value of one hex digit, or -1 for any other character.
int cmd_hex_digit(char c);
