// POSIX services of the run record: the folder, append-only sinks and
// the interrupt flag.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

#include "platform/platform.h"

struct plat_sink {
    int fd;
    bool owned;
};

namespace {

volatile sig_atomic_t interrupt_seen = 0;

void on_interrupt(int) { interrupt_seen = 1; }

const int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

std::string plat_working_dir() {
    char dir[PATH_MAX];
    return getcwd(dir, sizeof dir) != nullptr ? dir : std::string();
}

plat_sink* plat_sink_open(const char* path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    return fd < 0 ? nullptr : new plat_sink{fd, true};
}

plat_sink* plat_sink_inherited(long number) {
    if (number < 0 || number > INT_MAX || fcntl(static_cast<int>(number), F_GETFD) < 0) return nullptr;
    return new plat_sink{static_cast<int>(number), false};
}

bool plat_sink_write(plat_sink* sink, const char* bytes, size_t n) {
    while (n > 0) {
        const ssize_t w = write(sink->fd, bytes, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void plat_sink_close(plat_sink* sink) {
    if (sink == nullptr) return;
    if (sink->owned) close(sink->fd);
    delete sink;
}

void plat_interrupt_init() {
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a wait in progress returns early and its loop re-checks.
    for (int s : INTERRUPT_SIGNALS) sigaction(s, &sa, nullptr);
}

bool plat_interrupted() { return interrupt_seen != 0; }

void plat_interrupt_done() {}
