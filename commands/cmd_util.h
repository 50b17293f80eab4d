// Small helpers shared by the flash commands: number parsing and the call of
// an operations-table slot that may be empty in the table in force.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "link/flash_ops.h"

// Addresses and sizes: hexadecimal, "0x" optional; conversion stops at the
// first character that is no hex digit, so a word that is no number is 0.
inline uint32_t cmd_hex(const char* text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
}

// Baud rates, speeds and program modes: decimal, stopping at the first
// non-digit (a word that is no number is 0).
inline uint32_t cmd_dec(const char* text) {
    return static_cast<uint32_t>(std::strtol(text, nullptr, 10));
}

// Calls slot `member` of the table in force, or reports it as unavailable
// (one line on standard error, a non-zero result) when the slot is empty.
#define CALL_OP(member, ...) \
    (cur_ops->member != nullptr ? cur_ops->member(__VA_ARGS__) : ops_call_missing(#member))
