// Files on Windows: what a path names and the size of an open file. A path
// is a regular file when it exists, is no folder, and opens (without any
// access right, so nothing waits) as a disk file: device names such as NUL
// or COM1, pipes and consoles are not.
#include <windows.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

// The C runtime's split of the wide command line (msvcrt), the same split
// that made __argv.
struct crt_startup_info {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand, crt_startup_info* info);

namespace {

// The arguments main received (copies of the C runtime's __argv).
int main_argc = 0;
char** main_argv = nullptr;

// True when the ANSI code page holds `wide` exactly, without a default
// character or a best-fit look-alike.
bool ansi_holds(const wchar_t* wide) {
    BOOL defaulted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr, &defaulted);
    return n > 0 && !defaulted;
}

// For each of main's arguments (made by the C runtime from the wide command
// line in the ANSI code page) whether it holds what was typed. When the
// whole command line fits the code page every argument does; otherwise each
// is judged by its wide form, and all are refused when the wide split cannot
// be had or differs in count.
std::vector<bool> args_as_typed() {
    const size_t count = static_cast<size_t>(main_argc);
    if (GetACP() == CP_UTF8 || ansi_holds(GetCommandLineW())) return std::vector<bool>(count, true);
    std::vector<bool> typed(count, false);
    int wide_count = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    crt_startup_info info = {0};
    if (__wgetmainargs(&wide_count, &wide, &env, 0, &info) != 0 || static_cast<size_t>(wide_count) != count)
        return typed;
    for (size_t i = 0; i < count; ++i) typed[i] = ansi_holds(wide[i]);
    return typed;
}

}  // namespace

void plat_args_begin(int argc, char** argv) {
    main_argc = argc;
    main_argv = argv;
}

bool plat_arg_as_typed(const char* text) {
    static const std::vector<bool> typed = args_as_typed();
    const uintptr_t at = reinterpret_cast<uintptr_t>(text);
    for (size_t i = 0; i < typed.size(); ++i) {
        const uintptr_t arg = reinterpret_cast<uintptr_t>(main_argv[i]);
        if (at >= arg && at <= arg + std::strlen(main_argv[i])) return typed[i];
    }
    return true;
}

plat_file_kind plat_path_kind(const char* path) {
    if (path == nullptr || !plat_arg_as_typed(path)) return plat_file_kind::missing;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return plat_file_kind::missing;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return plat_file_kind::other;
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return plat_file_kind::other;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    return type == FILE_TYPE_DISK ? plat_file_kind::regular : plat_file_kind::other;
}

int64_t plat_file_size(std::FILE* f) {
    if (f == nullptr) return -1;
    const long long size = _filelengthi64(_fileno(f));
    return size < 0 ? -1 : static_cast<int64_t>(size);
}

int plat_replace_file(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}
