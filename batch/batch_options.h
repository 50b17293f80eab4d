// batch_options: the one record through which the one-shot front end meets.
// The option reader, the job file and the packed image parser fill it; the
// script builder reads it; read_efuse writes the detected program mode into
// it during mode detection.
#pragma once
#include <cstdint>

#include "image/image_slot.h"
#include "link/serial_port.h"

// Port texts may be as long as the serial port accepts (device paths such as
// /dev/serial/by-id/... need more than 19 characters); baud texts 19.
constexpr uint32_t BATCH_PORT_BYTES = COM_NAME_MAX + 1;
constexpr uint32_t BATCH_BAUD_BYTES = 20;
// The flash address of the device address (-x).
constexpr uint32_t BATCH_BDADDR_LOCATION = 0x801000;

struct batch_options {
    const char* program_path;   // argument 0: the loader folder "fw" is beside it
    const char* port_text;      // -c, as typed
    const char* baud_text;      // -b, as typed
    const char* image_file;     // -F
    uint32_t address;           // -A
    bool address_given;
    uint32_t size;              // -S
    bool size_given;
    bool erase;                 // -e
    bool program;               // -p
    bool verify;                // -v
    bool chip_erase;            // -E
    bool modify;                // -m
    const char* modify_values;  // -m: hex byte values, colon-separated
    bool save;                  // -s
    bool auto_images;           // -a: the images of the job file
    bool reboot;                // -r
    uint32_t program_mode;      // -M, -H, or detected (a program_mode value)
    bool mode_given;            // -M, -H
    const char* bdaddr_text;    // -x, as typed
    bool bdaddr;                // -x
    uint32_t bdaddr_location;   // -x: BATCH_BDADDR_LOCATION
    bool no_merge;              // -d: erase before a configuration image is merged
    char port[BATCH_PORT_BYTES];  // the port the script connects to
    char baud[BATCH_BAUD_BYTES];  // the rate the script switches to
    image_slot images[IMAGE_SLOTS];
    bool packed;                // -P
    bool efuse;                 // -u
    const char* efuse_file;     // -u
    const char* debug_password; // -D
    bool debug_password_given;  // -D
    bool config_given;          // -f
    bool connection_given;      // -c or -f
};

// A zero-filled record with its image table initialised (every slot "null"
// and enabled); nullptr when memory runs out.
batch_options* batch_options_create(const char* program_path);
void batch_options_release(batch_options* options);
