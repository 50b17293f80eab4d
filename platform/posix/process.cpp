// POSIX process services: sleep, command interpreter, paths, libraries.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

void plat_sleep_ms(uint32_t ms) {
    timespec want{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&want, &want) != 0 && errno == EINTR) {
    }
}

int plat_system(const char* command) { return std::system(command); }

char plat_path_separator() { return '/'; }

const char* plat_last_separator(const char* path) { return std::strrchr(path, '/'); }

std::string plat_short_path(const std::string& path) { return path; }

std::string plat_exe_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

std::string plat_temp_dir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
}

int plat_set_env(const char* name, const char* value) { return setenv(name, value, 1) == 0 ? 0 : -1; }

uint32_t plat_process_id() { return static_cast<uint32_t>(getpid()); }

int plat_make_dir(const char* path) {
    if (mkdir(path, 0777) == 0) return 0;
    struct stat st;
    if (errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return -1;
}

void* plat_load_library(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* plat_library_symbol(void* lib, const char* name) { return lib ? dlsym(lib, name) : nullptr; }

void plat_error_box(const char* title, const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", title, text);
}

