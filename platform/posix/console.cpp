// Console streams on POSIX: standard output line-buffered, standard error
// unbuffered, so each line is written when it is complete and an error line
// (written after a flush of standard output) follows the text before it.
#include <cstdio>

#include "platform/platform.h"

void plat_console_init() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}
