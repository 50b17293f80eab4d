// Wide strings to UTF-8 and back, for the calibration library's port names
// and log lines.
#include "platform/posix/wide_text.h"

#include <cstdint>

namespace {

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool posix_utf8(const wchar_t* text, std::string& out) {
    out.clear();
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        const uint32_t c = static_cast<uint32_t>(*p);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        put_utf8(out, c);
    }
    return true;
}

bool posix_wide(const std::string& text, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t more;
        if (b < 0x80) { c = b; more = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; more = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; more = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; more = 3; }
        else return false;
        if (i + more >= text.size()) return false;  // cut short
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        out += static_cast<wchar_t>(c);
        i += more + 1;
    }
    return true;
}

