// The library's log path: a wide printf-style format whose %s arguments are
// wide strings (as the Windows C runtime reads them), formatted into a line
// of 1024 wide characters (cut to fit, always terminated) and handed to the
// platform's debugger output.
#pragma once
#include <cstddef>

constexpr size_t TUNER_LOG_LINE_CHARS = 1024;

void TunerLog(const wchar_t* pszFormat, ...);

// The formatting alone, into `cap` wide characters (cap >= 1); used by
// TunerLog and by the tests.
void TunerFormatLine(wchar_t* pszLine, size_t cap, const wchar_t* pszFormat, ...);
