// The operations table: one record of 24 operations per way of reaching a
// module. Commands call the slot of the table in force (`cur_ops`) and never
// know which protocol or link sits below it.
#pragma once
#include <cstdint>

// Program modes: select the serial table, the loader download path and trigger.
enum program_mode : uint32_t {
    HCI_MODE = 0,
    RAM_PATCH_VENDOR_WRITE_MODE = 1,
    FACTORY_IMAGE_MODE = 2,
    RAM_PATCH_MODE = 3,
    SINGLE_WIRE_UART_MODE = 4,
};

// Slots in their fixed order. An empty slot is nullptr; callers go through
// ops_call_missing() rather than through an empty slot.
struct flash_ops {
    int32_t (*open)(const char* name, uint32_t setting);
    int32_t (*close)();
    int32_t (*download_fw)(uint32_t size, const uint8_t* image);
    int32_t (*get_prop)();
    int32_t (*set_baudrate)(uint32_t baud);
    int32_t (*lock_baudrate)(int32_t argc, char** argv);
    int32_t (*page_erase)(uint32_t addr, uint32_t size);
    int32_t (*chip_erase)();
    int32_t (*program)(uint32_t addr, uint32_t len, const uint8_t* bytes);
    int32_t (*read)(uint32_t addr, uint32_t len, uint8_t* dest);
    int32_t (*block64_erase)(uint32_t addr, uint32_t size);
    uint32_t (*flash_id)();
    int32_t (*ext_block32_erase)(uint32_t addr, uint32_t size);
    int32_t (*ext_block64_erase)(uint32_t addr, uint32_t size);
    int32_t (*ext_sector_erase)(uint32_t addr, uint32_t size);
    int32_t (*ext_chip_erase)();
    int32_t (*ext_program)(uint32_t addr, uint32_t len, const uint8_t* bytes);
    int32_t (*ext_read)(uint32_t addr, uint32_t len, uint8_t* dest);
    uint32_t (*ext_flash_id)();
    int32_t (*gdma_begin)(int32_t argc, char** argv);
    int32_t (*verify)(uint32_t addr, uint32_t len, const uint8_t* bytes);
    int32_t (*ext_verify)(uint32_t addr, uint32_t len, uint16_t crc);
    int32_t (*efuse_burn)(const uint8_t* bytes, uint32_t len);
    int32_t (*reboot)(uint8_t mode);
};

extern const flash_ops hci_ops;     // serial, HCI vendor commands only
extern const flash_ops loader_ops;  // serial, loader downloaded over HCI
extern const flash_ops fcimg_ops;   // serial, factory image downloaded over HCI
extern const flash_ops usb_ops;     // USB, loader protocol only
extern const flash_ops swd_ops;     // SWD through the J-Link probe

// The table in force; starts at hci_ops.
extern const flash_ops* cur_ops;

// Interface names that `connect` matches its argument against.
extern const char* const LINK_NAME_SERIAL;  // "com"
extern const char* const LINK_NAME_USB;     // "usb"
extern const char* const LINK_NAME_SWD;     // "swd"

// Result of an operation whose slot is empty in the table in force.
constexpr int32_t OPS_UNAVAILABLE = -1;

// Reports that `slot` is empty in the table in force (one line on standard
// error) and returns OPS_UNAVAILABLE. Commands call this instead of the slot.
int32_t ops_call_missing(const char* slot);

// The serial table that the program mode selects: 0 hci_ops, 2 fcimg_ops,
// any other loader_ops.
const flash_ops* ops_for_program_mode(uint32_t mode);

// True for hci_ops, loader_ops and fcimg_ops.
bool ops_is_serial_table(const flash_ops* ops);
