#include "platform/win32/system_error.h"

#include <windows.h>

#include <cstring>

std::string win32_error_text(unsigned long code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                   nullptr);
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
    if (n == 0) return "error " + std::to_string(code);
    return text;
}
