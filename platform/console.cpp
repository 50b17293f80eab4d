#include "platform/console.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

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
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}
