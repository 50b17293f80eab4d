// The system's own text for a Win32 error code, without its line end.
#pragma once
#include <string>

std::string win32_error_text(unsigned long code);
