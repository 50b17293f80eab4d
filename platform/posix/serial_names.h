// How a port name becomes a device path on POSIX systems.
#pragma once
#include <string>

// A name beginning with '/' is a device path, used unchanged. "COMn" (any
// case, n = 1 to 96 without leading zeros) maps as Wine maps it: COM1-32 to
// /dev/ttyS0-31, COM33-64 to /dev/ttyUSB0-31, COM65-96 to /dev/ttyACM0-31.
// Any other name names no port: "".
std::string posix_serial_device_path(const char* name);
