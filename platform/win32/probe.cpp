// The J-Link probe library on Windows: the DLL name for this program's
// architecture and the install path the probe software records in the
// registry of the current user.
#include <windows.h>

#include "platform/probe.h"

namespace {

const char* const INSTALL_KEY = "Software\\SEGGER\\J-Link";
const char* const INSTALL_VALUE = "InstallPath";

}  // namespace

const char* plat_probe_library_name() { return sizeof(void*) == 8 ? "JLink_x64.dll" : "JLinkARM.dll"; }

int plat_probe_install_path(std::string& path) {
    path.clear();
    HKEY key = nullptr;
    // Only read: a missing key means nothing is installed, there is nothing to create.
    if (RegOpenKeyExA(HKEY_CURRENT_USER, INSTALL_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return PLAT_PROBE_PATH_NONE;
    char buf[PLAT_PROBE_PATH_MAX + 1] = {};
    DWORD type = 0;
    DWORD size = PLAT_PROBE_PATH_MAX;
    LONG r = RegQueryValueExA(key, INSTALL_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (r == ERROR_MORE_DATA) return PLAT_PROBE_PATH_TOO_LONG;
    if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return PLAT_PROBE_PATH_NONE;
    // A value stored without its terminating zero still ends inside buf.
    buf[size] = '\0';
    path = buf;
    return path.empty() ? PLAT_PROBE_PATH_NONE : PLAT_PROBE_PATH_FOUND;
}
