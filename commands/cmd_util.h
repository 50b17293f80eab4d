// Small helpers shared by the flash commands: number parsing and the call of
// an operations-table slot that may be empty in the table in force.
#pragma once
#include <cctype>
#include <cstdint>
#include <cstdlib>

#include "link/flash_ops.h"

// The conversions behave alike on every platform, as they do where long is
// 32 bits wide: a value beyond 32 bits saturates instead of losing its upper
// digits, so a mistyped 9-digit address never becomes a different address
// inside the flash.

// Addresses and sizes: hexadecimal, "0x" optional; conversion stops at the
// first character that is no hex digit, so a word that is no number is 0.
// A leading "-" negates modulo 2^32; beyond 32 bits the value is 0xFFFFFFFF.
inline uint32_t cmd_hex(const char* text) {
    unsigned long long value = std::strtoull(text, nullptr, 16);
    const char* first = text;
    while (std::isspace(static_cast<unsigned char>(*first))) ++first;
    unsigned long long magnitude = *first == '-' ? 0ULL - value : value;
    return magnitude > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// Baud rates, speeds and program modes: signed decimal, stopping at the first
// non-digit (a word that is no number is 0), held to the signed 32-bit range.
inline uint32_t cmd_dec(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

// Calls slot `member` of the table in force, or reports it as unavailable
// (one line on standard error, a non-zero result) when the slot is empty.
#define CALL_OP(member, ...) \
    (cur_ops->member != nullptr ? cur_ops->member(__VA_ARGS__) : ops_call_missing(#member))
