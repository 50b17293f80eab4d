// Console streams on Windows. The C runtime has no line buffering: _IOLBF
// means full buffering there, which would hold progress lines back until the
// buffer fills and let a child started by `shell` print ahead of them. Both
// streams are therefore unbuffered: text reaches the console, pipe or file as
// it is printed, in program order, and an error line follows the text before
// it.
#include <cstdio>

#include "platform/platform.h"

void plat_console_init() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

// The port and the files are handles on Windows, not numbered descriptors
// that a closed standard stream would hand out.
void plat_standard_streams_open() {}
