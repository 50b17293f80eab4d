// Files on POSIX: what a path names (stat, which never opens it) and the
// size of an open file (fstat, 64-bit).
#include <sys/stat.h>

#include <cstdio>

#include "platform/platform.h"

void plat_args_begin(int, char**) {}

bool plat_arg_as_typed(const char*) { return true; }

plat_file_kind plat_path_kind(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return plat_file_kind::missing;
    return S_ISREG(st.st_mode) ? plat_file_kind::regular : plat_file_kind::other;
}

int64_t plat_file_size(std::FILE* f) {
    struct stat st;
    if (f == nullptr || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int plat_replace_file(const char* from, const char* to) { return std::rename(from, to) == 0 ? 0 : -1; }
