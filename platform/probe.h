// Where the J-Link probe library is found: its file name for this program's
// architecture and the probe software's install folder as the system records
// it. The library itself is loaded with plat_load_library (platform.h).
#pragma once
#include <string>

// "libjlinkarm.so" on Linux, "JLink_x64.dll" for 64-bit Windows programs,
// "JLinkARM.dll" for 32-bit ones.
const char* plat_probe_library_name();

// Results of plat_probe_install_path.
constexpr int PLAT_PROBE_PATH_FOUND = 0;
constexpr int PLAT_PROBE_PATH_NONE = -1;      // nothing recorded
constexpr int PLAT_PROBE_PATH_TOO_LONG = -2;  // recorded, but longer than the limit

// The longest install path accepted (the registry value's buffer).
constexpr unsigned PLAT_PROBE_PATH_MAX = 260;

// The install path of the probe software: on Windows the value "InstallPath"
// of HKEY_CURRENT_USER\Software\SEGGER\J-Link (read only; at most
// PLAT_PROBE_PATH_MAX bytes with its terminating zero, never cut), on Linux
// "/opt/SEGGER/JLink/". The caller keeps the part up to the last separator.
int plat_probe_install_path(std::string& path);
