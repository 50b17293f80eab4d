// The J-Link probe library on Linux: its shared-object name and the folder
// the probe software installs into.
#include "platform/probe.h"

const char* plat_probe_library_name() { return "libjlinkarm.so"; }

int plat_probe_install_path(std::string& path) {
    path = "/opt/SEGGER/JLink/";
    return PLAT_PROBE_PATH_FOUND;
}
