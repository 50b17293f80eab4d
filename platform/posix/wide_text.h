// Wide strings (as the calibration library keeps them) to UTF-8 and back.
#pragma once
#include <string>

// UTF-8 of a terminated wide string; false for a value that is no character.
bool posix_utf8(const wchar_t* text, std::string& out);
// Wide string of UTF-8 text; false for bytes that are not UTF-8.
bool posix_wide(const std::string& text, std::wstring& out);
