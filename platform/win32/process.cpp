// Win32 process services: sleep, command interpreter, paths, folders and
// run-time libraries.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/system_error.h"

namespace {

// Module paths longer than MAX_PATH exist (long-path aware systems): the
// buffer grows until the whole path fits, up to the longest Win32 path.
constexpr DWORD MODULE_PATH_START = MAX_PATH;
constexpr DWORD MODULE_PATH_LIMIT = 32768;

constexpr UINT ERROR_BOX_STYLE = MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;

}  // namespace

void plat_sleep_ms(uint32_t ms) { Sleep(ms); }

// The C runtime hands the line to the interpreter named by COMSPEC.
int plat_system(const char* command) { return std::system(command); }

char plat_path_separator() { return '\\'; }

const char* plat_last_separator(const char* path) {
    const char* last = nullptr;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == '\\' || *c == '/') last = c;
    return last;
}

std::string plat_short_path(const std::string& path) {
    const DWORD need = GetShortPathNameA(path.c_str(), nullptr, 0);
    if (need == 0) return path;
    std::vector<char> buf(need);
    const DWORD n = GetShortPathNameA(path.c_str(), buf.data(), need);
    return n == 0 || n >= need ? path : std::string(buf.data(), n);
}

std::string plat_exe_path() {
    for (DWORD size = MODULE_PATH_START; size <= MODULE_PATH_LIMIT; size *= 2) {
        std::vector<char> buf(size);
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), size);
        if (n == 0) return std::string();
        if (n < size) return std::string(buf.data(), n);
    }
    return std::string();
}

std::string plat_temp_dir() {
    char buf[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n >= sizeof buf) return std::string();
    std::string dir(buf, n);
    if (dir.back() != '\\') dir += '\\';
    return dir;
}

int plat_set_env(const char* name, const char* value) { return _putenv_s(name, value) == 0 ? 0 : -1; }

uint32_t plat_process_id() { return GetCurrentProcessId(); }

int plat_make_dir(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return 0;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
}

void* plat_load_library(const char* path, std::string* why) {
    HMODULE lib = LoadLibraryA(path);
    if (lib == nullptr && why != nullptr) {
        const DWORD code = GetLastError();
        *why = plat_path_kind(path) == plat_file_kind::missing ? std::string() : win32_error_text(code);
        const size_t insert = why->find("%1");  // "%1 is not a valid Win32 application."
        if (insert != std::string::npos) why->replace(insert, 2, "the file");
    }
    return reinterpret_cast<void*>(lib);
}

void* plat_library_symbol(void* lib, const char* name) {
    if (lib == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void plat_error_box(const char* title, const char* text) {
    MessageBoxA(nullptr, text, title, ERROR_BOX_STYLE);
}

