// POSIX process services: sleep, command interpreter, paths, libraries.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

namespace {

// The loader maps a library's segments from its file: a segment reaching past
// the end of a file cut short faults when touched (SIGBUS) instead of failing
// the load. So the program headers are held against the file's size first;
// "" when they fit (or the file is no library of this machine's kind, which
// dlopen reports itself).
std::string cut_short(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return "";
    std::string why;
    ElfW(Ehdr) head{};
    const bool ours = std::fread(&head, sizeof head, 1, f) == 1 && std::memcmp(head.e_ident, ELFMAG, SELFMAG) == 0 &&
                      head.e_ident[EI_CLASS] == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) &&
                      head.e_phentsize == sizeof(ElfW(Phdr));
    const int64_t size = plat_file_size(f);
    uint64_t needed = 0;
    for (unsigned i = 0; ours && i < head.e_phnum; ++i) {
        ElfW(Phdr) segment{};
        if (std::fseek(f, static_cast<long>(head.e_phoff + i * sizeof segment), SEEK_SET) != 0 ||
            std::fread(&segment, sizeof segment, 1, f) != 1) {
            needed = UINT64_MAX;
            break;
        }
        if (segment.p_type == PT_LOAD) needed = std::max<uint64_t>(needed, segment.p_offset + segment.p_filesz);
    }
    std::fclose(f);
    if (ours && size >= 0 && needed > static_cast<uint64_t>(size))
        why = "file cut short (" + std::to_string(size) + " bytes, its segments need " +
              (needed == UINT64_MAX ? std::string("more") : std::to_string(needed)) + ")";
    return why;
}

}  // namespace

void* plat_load_library(const char* path, std::string* why) {
    const std::string short_file = cut_short(path);
    if (!short_file.empty()) {
        if (why != nullptr) *why = short_file;
        return nullptr;
    }
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib != nullptr || why == nullptr) return lib;
    const char* error = dlerror();
    *why = plat_path_kind(path) == plat_file_kind::missing || error == nullptr ? std::string() : error;
    // The loader's text begins with the path: the reason alone is kept.
    const std::string prefix = std::string(path) + ": ";
    if (why->compare(0, prefix.size(), prefix) == 0) why->erase(0, prefix.size());
    return nullptr;
}

void* plat_library_symbol(void* lib, const char* name) { return lib ? dlsym(lib, name) : nullptr; }

void plat_error_box(const char* title, const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", title, text);
}

