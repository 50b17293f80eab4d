#include "platform/console.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

// The failure messages the run record quotes.
std::string first_error;
std::string last_error;
bool first_taken = false;

}  // namespace

// The C runtimes differ in how they buffer (Windows has no line buffering),
// so the platform sets the streams up.
void con_init() {
    plat_standard_streams_open();
    plat_console_init();
}

void con_err(const char* fmt, ...) {
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    std::fputs(text.c_str(), stderr);
    last_error = text;
    if (!first_taken) first_error = text;
    first_taken = true;
}

void con_error_mark() {
    first_taken = false;
    first_error.clear();
}

const std::string& con_first_error() { return first_error; }

const std::string& con_last_error() { return last_error; }
