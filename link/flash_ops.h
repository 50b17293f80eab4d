// The operations table: one record of 24 operations per way of reaching a
// module. Commands call the slot of the table in force (`cur_ops`) and never
// know which protocol or link sits below it.
#pragma once
#include <cstdint>

#include "link/program_mode.h"

// The 24 slots in their fixed order: result type, name, parameters. The
// record below and the slot names that an empty slot reports are both made
// from this one list, so a name can never drift from its slot.
#define FLASH_OPS_SLOTS(SLOT)                                                   \
    SLOT(int32_t, open, const char* name, uint32_t setting)                     \
    SLOT(int32_t, close)                                                        \
    SLOT(int32_t, download_fw, uint32_t size, const uint8_t* image)             \
    SLOT(int32_t, get_prop)                                                     \
    SLOT(int32_t, set_baudrate, uint32_t baud)                                  \
    SLOT(int32_t, lock_baudrate, int32_t argc, char** argv)                     \
    SLOT(int32_t, page_erase, uint32_t addr, uint32_t size)                     \
    SLOT(int32_t, chip_erase)                                                   \
    SLOT(int32_t, program, uint32_t addr, uint32_t len, const uint8_t* bytes)   \
    SLOT(int32_t, read, uint32_t addr, uint32_t len, uint8_t* dest)             \
    SLOT(int32_t, block64_erase, uint32_t addr, uint32_t size)                  \
    SLOT(uint32_t, flash_id)                                                    \
    SLOT(int32_t, ext_block32_erase, uint32_t addr, uint32_t size)              \
    SLOT(int32_t, ext_block64_erase, uint32_t addr, uint32_t size)              \
    SLOT(int32_t, ext_sector_erase, uint32_t addr, uint32_t size)               \
    SLOT(int32_t, ext_chip_erase)                                               \
    SLOT(int32_t, ext_program, uint32_t addr, uint32_t len, const uint8_t* bytes) \
    SLOT(int32_t, ext_read, uint32_t addr, uint32_t len, uint8_t* dest)         \
    SLOT(uint32_t, ext_flash_id)                                                \
    SLOT(int32_t, gdma_begin, int32_t argc, char** argv)                        \
    SLOT(int32_t, verify, uint32_t addr, uint32_t len, const uint8_t* bytes)    \
    SLOT(int32_t, ext_verify, uint32_t addr, uint32_t len, uint16_t crc)        \
    SLOT(int32_t, efuse_burn, const uint8_t* bytes, uint32_t len)               \
    SLOT(int32_t, reboot, uint8_t mode)

// An empty slot is nullptr; commands reach slots only through ops_get and
// ops_call below, which report an empty one.
struct flash_ops {
#define FLASH_OPS_MEMBER(result, name, ...) result (*name)(__VA_ARGS__);
    FLASH_OPS_SLOTS(FLASH_OPS_MEMBER)
#undef FLASH_OPS_MEMBER
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
// error) and returns OPS_UNAVAILABLE.
int32_t ops_call_missing(const char* slot);

// The name of a slot, as the list above spells it: ops_slot<&flash_ops::read>::name.
template <auto Slot>
struct ops_slot;
#define FLASH_OPS_NAME(result, slot_name, ...)        \
    template <>                                       \
    struct ops_slot<&flash_ops::slot_name> {          \
        static constexpr const char* name = #slot_name; \
    };
FLASH_OPS_SLOTS(FLASH_OPS_NAME)
#undef FLASH_OPS_NAME

// The one way to reach a slot of the table in force: the operation, or
// nullptr after reporting the empty slot by its own name.
template <auto Slot>
auto ops_get() {
    auto op = cur_ops->*Slot;
    if (op == nullptr) ops_call_missing(ops_slot<Slot>::name);
    return op;
}

// Calls a slot of the table in force; OPS_UNAVAILABLE (reported) when empty.
// For the slots with a signed result.
template <auto Slot, typename... Args>
int32_t ops_call(Args... args) {
    auto op = ops_get<Slot>();
    return op != nullptr ? op(args...) : OPS_UNAVAILABLE;
}

// The serial table that the program mode selects: 0 hci_ops, 2 fcimg_ops,
// any other loader_ops.
const flash_ops* ops_for_program_mode(uint32_t mode);

// True for hci_ops, loader_ops and fcimg_ops.
bool ops_is_serial_table(const flash_ops* ops);
