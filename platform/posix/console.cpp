// Console streams on POSIX: standard output line-buffered, standard error
// unbuffered, so each line is written when it is complete and an error line
// (written after a flush of standard output) follows the text before it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

void plat_console_init() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void plat_standard_streams_open() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself: the ones below it are open.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened != -1) close(opened);
    }
}
