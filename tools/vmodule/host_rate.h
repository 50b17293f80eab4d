// The rate the host has set on the pty, read through the master end.
#pragma once
#include <cstdint>

// The slave's output speed in bits per second, or 0 when it cannot be read.
uint32_t host_rate(int master_fd);
