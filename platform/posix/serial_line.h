// Line settings of an open serial descriptor. Kept apart from serial.cpp
// because the kernel's termios2 record clashes with the C library's termios.
#pragma once
#include <cstdint>

// Raw 8N1 at any integer rate, receiver on, modem lines ignored, no flow
// control, DTR and RTS dropped. 0, or -1 when the port refuses the settings.
int posix_serial_set_line(int fd, uint32_t baud);
