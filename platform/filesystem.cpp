// Folder removal, the same on every platform: the standard library's
// recursive delete rather than a command handed to a shell, so no path is
// ever interpreted by a command interpreter.
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

int plat_remove_tree(const char* path) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path), ec);
    return ec ? -1 : 0;
}
