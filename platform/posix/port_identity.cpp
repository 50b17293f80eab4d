// What a port text names, for telling two spellings of one port apart.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "platform/platform.h"

namespace {

// The path with its trailing separators taken off ("/dev/pts/3/" names the
// device "/dev/pts/3"), the root kept.
std::string without_trailing_separators(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string plat_port_identity(const std::string& port) {
    const std::string path = without_trailing_separators(port);
    struct stat st {};
    // One character device, whatever node, link or spelling leads to it.
    if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return "device " + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    if (path.empty() || path[0] != '/') return port;  // a name such as "COM6" (tests, Wine)
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(path, ec);
    if (!ec) return without_trailing_separators(real.string());
    return without_trailing_separators(std::filesystem::path(path).lexically_normal().string());
}
