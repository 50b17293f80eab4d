#include "commands/byte_list.h"

namespace {

constexpr uint32_t DIGITS_PER_BYTE = 2;
constexpr char SEPARATOR = ':';

}  // namespace

int cmd_hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint32_t cmd_byte_list(const char* text, uint8_t* out, uint32_t max, const char** end) {
    const char* p = text;
    uint32_t n = 0;
    while (n < max) {
        const char* piece = n == 0 ? p : p + 1;
        if (n != 0 && *p != SEPARATOR) break;
        uint32_t value = 0, digits = 0;
        for (int d; digits < DIGITS_PER_BYTE && (d = cmd_hex_digit(piece[digits])) >= 0; ++digits)
            value = value * 16 + static_cast<uint32_t>(d);
        if (digits == 0) break;
        out[n++] = static_cast<uint8_t>(value);
        p = piece + digits;
    }
    *end = p;
    return n;
}
