#include "shell/console.h"

#include <cstdarg>
#include <cstdio>

void con_init() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void con_err(const char* fmt, ...) {
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}
