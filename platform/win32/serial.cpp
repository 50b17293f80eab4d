// Win32 serial ports: the device path "\\.\NAME", a DCB built from nothing,
// the COMMTIMEOUTS record as given, and blocking reads and writes without
// overlap.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

struct plat_serial {
    HANDLE handle;
};

namespace {

// "\\.\" in front of a name of up to 255 characters and its terminator. The
// port layer accepts shorter names; a longer one is refused here too, never
// cut, since a cut name could open a different port.
const char* const DEVICE_PATH_FORMAT = "\\\\.\\%s";
constexpr size_t DEVICE_NAME_MAX = 255;
constexpr size_t DEVICE_PATH_BYTES = 4 + DEVICE_NAME_MAX + 1;

// PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR.
constexpr DWORD PURGE_ALL = 15;

constexpr BYTE LINE_DATA_BITS = 8;

bool valid(plat_serial_handle port) { return port != nullptr && port->handle != INVALID_HANDLE_VALUE; }

// Raw 8N1 with every option flag off: no parity check, no CTS/DSR output flow
// control, DTR and RTS held inactive, no DSR sensitivity, no XON/XOFF, no
// error or null-byte replacement, no abort on error; XON/XOFF limits and all
// special characters 0. Windows supports binary transfers only, so fBinary is
// the one bit set.
DCB line_settings(uint32_t baud) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.ByteSize = LINE_DATA_BITS;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

}  // namespace

plat_serial_handle plat_serial_open(const char* name) {
    if (name == nullptr) return nullptr;
    char path[DEVICE_PATH_BYTES];
    const char* device = name;
    if (name[0] != '\\') {
        if (std::strlen(name) > DEVICE_NAME_MAX) return nullptr;
        std::snprintf(path, sizeof path, DEVICE_PATH_FORMAT, name);
        device = path;
    }
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return nullptr;
    return new plat_serial{h};
}

int plat_serial_set_line(plat_serial_handle port, uint32_t baud) {
    if (!valid(port)) return -1;
    DCB dcb = line_settings(baud);
    return SetCommState(port->handle, &dcb) ? 0 : -1;
}

int plat_serial_set_timeouts(plat_serial_handle port, const plat_serial_timeouts& t) {
    if (!valid(port)) return -1;
    COMMTIMEOUTS ct;
    ct.ReadIntervalTimeout = t.read_interval;
    ct.ReadTotalTimeoutMultiplier = t.read_multiplier;
    ct.ReadTotalTimeoutConstant = t.read_constant;
    ct.WriteTotalTimeoutMultiplier = t.write_multiplier;
    ct.WriteTotalTimeoutConstant = t.write_constant;
    return SetCommTimeouts(port->handle, &ct) ? 0 : -1;
}

int plat_serial_get_timeouts(plat_serial_handle port, plat_serial_timeouts& t) {
    if (!valid(port)) return -1;
    COMMTIMEOUTS ct;
    if (!GetCommTimeouts(port->handle, &ct)) return -1;
    t.read_interval = ct.ReadIntervalTimeout;
    t.read_multiplier = ct.ReadTotalTimeoutMultiplier;
    t.read_constant = ct.ReadTotalTimeoutConstant;
    t.write_multiplier = ct.WriteTotalTimeoutMultiplier;
    t.write_constant = ct.WriteTotalTimeoutConstant;
    return 0;
}

void plat_serial_purge(plat_serial_handle port) {
    if (valid(port)) PurgeComm(port->handle, PURGE_ALL);
}

uint32_t plat_serial_read(plat_serial_handle port, uint8_t* buf, uint32_t n) {
    if (!valid(port)) return 0;
    DWORD got = 0;
    if (!ReadFile(port->handle, buf, n, &got, nullptr)) return 0;
    return got;
}

uint32_t plat_serial_write(plat_serial_handle port, const uint8_t* buf, uint32_t n) {
    if (!valid(port)) return 0;
    DWORD put = 0;
    if (!WriteFile(port->handle, buf, n, &put, nullptr)) return 0;
    return put;
}

int plat_serial_read_some(plat_serial_handle port, uint8_t* buf, uint32_t n, uint32_t* done) {
    *done = 0;
    if (!valid(port)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    DWORD got = 0;
    const BOOL ok = ReadFile(port->handle, buf, n, &got, nullptr);
    *done = got;
    return ok ? 0 : -1;
}

int plat_serial_write_some(plat_serial_handle port, const uint8_t* buf, uint32_t n, uint32_t* done) {
    *done = 0;
    if (!valid(port)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    DWORD put = 0;
    const BOOL ok = WriteFile(port->handle, buf, n, &put, nullptr);
    *done = put;
    return ok ? 0 : -1;
}

void plat_serial_purge_input(plat_serial_handle port, bool abort_read) {
    if (valid(port)) PurgeComm(port->handle, abort_read ? (PURGE_RXABORT | PURGE_RXCLEAR) : PURGE_RXCLEAR);
}

uint32_t plat_last_error() { return GetLastError(); }

bool plat_serial_port_path(const wchar_t* name, wchar_t* path, size_t cap) {
    const size_t len = wcslen(name);
    if (cap < 5 || len > cap - 5) return false;
    wcscpy(path, L"\\\\.\\");
    wcscpy(path + 4, name);
    return true;
}

plat_serial_handle plat_serial_open_path(const wchar_t* path) {
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return new plat_serial{h};
}

// The DCB as the port has it, with the rate and 8N1 set.
int plat_serial_update_line(plat_serial_handle port, uint32_t baud) {
    if (!valid(port)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return PLAT_LINE_READ_FAILED;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) return PLAT_LINE_READ_FAILED;
    dcb.BaudRate = baud;
    dcb.ByteSize = LINE_DATA_BITS;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(port->handle, &dcb)) return PLAT_LINE_WRITE_FAILED;
    return 0;
}

void plat_serial_close(plat_serial_handle port) {
    if (port == nullptr) return;
    if (port->handle != INVALID_HANDLE_VALUE) CloseHandle(port->handle);
    delete port;
}
