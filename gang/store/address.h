// Bluetooth device addresses as flint's -x takes them: six hexadecimal pairs
// separated by ':' ("00:11:22:33:44:55"), held as a 48-bit number.
#pragma once
#include <cstdint>
#include <string>

constexpr uint64_t ADDRESS_MAX = 0xFFFFFFFFFFFFull;

// false when the text is no address (each piece one or two hexadecimal digits).
bool address_parse(const std::string& text, uint64_t* value);

// "00:11:22:33:44:55", upper-case digits.
std::string address_text(uint64_t value);
