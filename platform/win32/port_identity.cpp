// What a port text names, for telling two spellings of one port apart: a
// name and its device path ("COM6", "\\.\COM6") are one port, without regard
// to case.
#include <cctype>

#include "platform/platform.h"

namespace {

const char* const DEVICE_PREFIX = "\\\\.\\";

}  // namespace

std::string plat_port_identity(const std::string& port) {
    std::string key = port.compare(0, 4, DEVICE_PREFIX) == 0 ? port.substr(4) : port;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}
