// Program modes: how a module is brought to accept flash commands over a
// serial line. The mode selects the serial operations table, the loader
// download path and its trigger; it is given on the command line or detected
// from the module's answer to the mode probe.
#pragma once
#include <cstdint>

enum program_mode : uint32_t {
    HCI_MODE = 0,
    RAM_PATCH_VENDOR_WRITE_MODE = 1,
    FACTORY_IMAGE_MODE = 2,
    RAM_PATCH_MODE = 3,
    SINGLE_WIRE_UART_MODE = 4,
};
