// The progress line on a POSIX terminal. Standard output and standard error
// are replaced by streams that erase a drawn progress line before they write
// (through to descriptors 1 and 2, buffered as before), so no text of the
// run ever lands on top of it.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

const char* const ERASE = "\r\033[K";

bool drawn = false;

void write_all(int fd, const char* bytes, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, bytes, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
}

void erase() {
    write_all(STDOUT_FILENO, ERASE, std::strlen(ERASE));
    drawn = false;
}

ssize_t write_through(void* cookie, const char* bytes, size_t n) {
    if (drawn) erase();
    write_all(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), bytes, n);
    return static_cast<ssize_t>(n);
}

// A stream writing through to `fd`; the original one when it cannot be made.
FILE* through(FILE* original, int fd, int buffering) {
    cookie_io_functions_t io = {nullptr, write_through, nullptr, nullptr};
    FILE* f = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", io);
    if (f == nullptr) return original;
    std::setvbuf(f, nullptr, buffering, buffering == _IONBF ? 0 : BUFSIZ);
    return f;
}

}  // namespace

bool plat_progress_start() {
    static bool started = false;
    if (started) return true;
    if (isatty(STDOUT_FILENO) != 1) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    stdout = through(stdout, STDOUT_FILENO, _IOLBF);
    stderr = through(stderr, STDERR_FILENO, _IONBF);
    started = true;
    return true;
}

void plat_progress_draw(const char* text) {
    std::fflush(stdout);
    write_all(STDOUT_FILENO, "\r", 1);
    write_all(STDOUT_FILENO, text, std::strlen(text));
    write_all(STDOUT_FILENO, ERASE + 1, std::strlen(ERASE) - 1);
    drawn = true;
}

void plat_progress_clear() {
    if (drawn) erase();
}
