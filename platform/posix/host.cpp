// POSIX: this computer's name and whether a process runs.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

std::string plat_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

// A process of another user answers EPERM: it runs all the same.
bool plat_process_alive(uint32_t pid) {
    if (pid == 0) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}
