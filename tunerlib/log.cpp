#include "tunerlib/log.h"

#include <cstdarg>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace {

// The formats are the library's own and short; a longer one is cut (and is
// a mistake in this file).
constexpr size_t FORMAT_CHARS_MAX = 512;
// The longest line that can be formatted whole before the cut: a port list
// entry's name (2048) and data (1024 on Windows), with room to spare.
constexpr size_t SCRATCH_CHARS_START = 4096;
constexpr size_t SCRATCH_CHARS_LIMIT = 1 << 20;

// The formats use %s for wide strings, as the Windows C runtime reads them;
// the C library's wide printf reads %s as a narrow string and %ls as a wide
// one on every platform, so every %s without a length becomes %ls.
void PortableFormat(const wchar_t* pszFormat, wchar_t* pszOut, size_t cap) {
    size_t o = 0;
    for (const wchar_t* p = pszFormat; *p != L'\0' && o + 2 < cap; ++p) {
        pszOut[o++] = *p;
        if (*p != L'%') continue;
        ++p;
        if (*p == L'%') {
            pszOut[o++] = *p;
            continue;
        }
        bool bLength = false;
        while (*p != L'\0' && o + 2 < cap && std::wcschr(L"-+ #0123456789.*hlLqjzt", *p) != nullptr) {
            if (std::wcschr(L"hlLqjzt", *p) != nullptr) bLength = true;
            pszOut[o++] = *p++;
        }
        if (*p == L'\0') break;
        if (*p == L's' && !bLength) pszOut[o++] = L'l';
        pszOut[o++] = *p;
    }
    pszOut[o] = L'\0';
}

void FormatLine(wchar_t* pszLine, size_t cap, const wchar_t* pszFormat, va_list args) {
    wchar_t szFormat[FORMAT_CHARS_MAX];
    PortableFormat(pszFormat, szFormat, FORMAT_CHARS_MAX);
    pszLine[0] = L'\0';
    // Formatted whole into a scratch buffer first: what a C library leaves in
    // a buffer that was too short differs between libraries.
    for (size_t chars = SCRATCH_CHARS_START; chars <= SCRATCH_CHARS_LIMIT; chars *= 2) {
        // Left uninitialised: vswprintf writes what is read back.
        std::unique_ptr<wchar_t[]> scratch(new (std::nothrow) wchar_t[chars]);
        if (!scratch) return;
        va_list copy;
        va_copy(copy, args);
        const int n = std::vswprintf(scratch.get(), chars, szFormat, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < chars) {
            const size_t keep = static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
            std::wmemcpy(pszLine, scratch.get(), keep);
            pszLine[keep] = L'\0';
            return;
        }
    }
}

}  // namespace

void TunerFormatLine(wchar_t* pszLine, size_t cap, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    FormatLine(pszLine, cap, pszFormat, args);
    va_end(args);
}

void TunerLog(const wchar_t* pszFormat, ...) {
    wchar_t szLine[TUNER_LOG_LINE_CHARS];
    va_list args;
    va_start(args, pszFormat);
    FormatLine(szLine, TUNER_LOG_LINE_CHARS, pszFormat, args);
    va_end(args);
    plat_debug_output(szLine);
}
