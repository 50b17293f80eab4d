#include "gang/store/address.h"

#include <cctype>
#include <cstdio>

namespace {

constexpr int ADDRESS_BYTES = 6;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

}  // namespace

bool address_parse(const std::string& text, uint64_t* value) {
    uint64_t out = 0;
    size_t at = 0;
    for (int piece = 0; piece < ADDRESS_BYTES; ++piece) {
        if (piece > 0 && (at >= text.size() || text[at++] != ':')) return false;
        int digits = 0, byte = 0;
        for (; at < text.size() && digits < 3 && hex_digit(text[at]) >= 0; ++at, ++digits)
            byte = byte * 16 + hex_digit(text[at]);
        if (digits < 1 || digits > 2) return false;
        out = out << 8 | static_cast<uint64_t>(byte);
    }
    if (at != text.size()) return false;
    *value = out;
    return true;
}

std::string address_text(uint64_t value) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(value >> 40 & 0xFF),
                  static_cast<unsigned>(value >> 32 & 0xFF), static_cast<unsigned>(value >> 24 & 0xFF),
                  static_cast<unsigned>(value >> 16 & 0xFF), static_cast<unsigned>(value >> 8 & 0xFF),
                  static_cast<unsigned>(value & 0xFF));
    return text;
}
