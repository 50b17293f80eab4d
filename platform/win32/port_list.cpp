// The machine's serial ports for the calibration library: the registry's
// serial device map, read only.
#include <windows.h>

#include "platform/platform.h"

struct plat_port_list {
    HKEY key;
};

namespace {

const wchar_t* const SERIAL_DEVICE_MAP = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

}  // namespace

int32_t plat_port_list_open(plat_port_list** list) {
    *list = nullptr;
    HKEY key = nullptr;
    const LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIAL_DEVICE_MAP, 0, KEY_READ, &key);
    if (r != ERROR_SUCCESS) return r;
    *list = new plat_port_list{key};
    return 0;
}

int32_t plat_port_list_info(plat_port_list* list, uint32_t* subkeys, uint32_t* values) {
    if (list == nullptr) return ERROR_INVALID_HANDLE;
    DWORD nsub = 0, nval = 0;
    const LONG r = RegQueryInfoKeyW(list->key, nullptr, nullptr, nullptr, &nsub, nullptr, nullptr,
                                    &nval, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) return r;
    *subkeys = nsub;
    *values = nval;
    return 0;
}

int32_t plat_port_list_value(plat_port_list* list, uint32_t index, wchar_t* name,
                             uint32_t* name_chars, uint32_t* type, uint8_t* data,
                             uint32_t* data_bytes) {
    if (list == nullptr) return ERROR_INVALID_HANDLE;
    DWORD nchars = *name_chars, nbytes = *data_bytes, vtype = 0;
    const LONG r = RegEnumValueW(list->key, index, name, &nchars, nullptr, &vtype, data, &nbytes);
    if (r != ERROR_SUCCESS) return r;
    *name_chars = nchars;
    *data_bytes = nbytes;
    *type = vtype;
    return 0;
}

void plat_port_list_close(plat_port_list* list) {
    if (list == nullptr) return;
    RegCloseKey(list->key);
    delete list;
}

void plat_debug_output(const wchar_t* line) {
    if (line != nullptr) OutputDebugStringW(line);
}
