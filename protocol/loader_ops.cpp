// Loader operations on the internal flash, the eFuse and the module itself:
// each is one exchange (or a split transfer) of the frame layer.
#include <cstdio>

#include "common/timing.h"
#include "common/le.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "protocol/loader_frame.h"

namespace {

constexpr uint16_t CODE_GET_PROPERTY = 0x1000;
constexpr uint16_t CODE_SET_BAUDRATE = 0x1010;
constexpr uint16_t CODE_SECTOR_ERASE = 0x1030;
constexpr uint16_t CODE_CHIP_ERASE = 0x1031;
constexpr uint16_t CODE_PROGRAM = 0x1032;
constexpr uint16_t CODE_READ = 0x1033;
constexpr uint16_t CODE_BLOCK64_ERASE = 0x1035;
constexpr uint16_t CODE_FLASH_ID = 0x103D;
constexpr uint16_t CODE_REBOOT = 0x1041;
constexpr uint16_t CODE_VERIFY = 0x1050;
constexpr uint16_t CODE_EFUSE_BURN = 0x1061;

constexpr uint8_t BAUDRATE_FLAG = 0xFF;

const char* const MSG_SEND_SET_BAUDRATE = "send set baudrate command!\n";
const char* const MSG_SET_BAUDRATE_OK = "set baudrate command ok!\n";
const char* const MSG_SEND_ERASE = "send erase command!\n";
const char* const MSG_SEND_CHIP_ERASE = "send chip erase command!\n";
const char* const MSG_SEND_WRITE = "send write command!\n";
const char* const MSG_SEND_READ = "send read command!\n";

const char* const MSG_GET_PROPERTY_ERROR = "Get Property Error: %d\n";
const char* const MSG_SET_BAUDRATE_ERROR = "Set Baudrate Error: %d\n";
const char* const MSG_SECTOR_ERASE_ERROR = "Sector Erase Error: %d\n";
const char* const MSG_CHIP_ERASE_ERROR = "Chip Erase Error: %d\n";
const char* const MSG_PROGRAM_ERROR = "Program Error: %d\n";
const char* const MSG_READ_ERROR = "Flash Read Error: %d\n";
const char* const MSG_BLOCK64_ERASE_ERROR = "Block64 Erase Error: %d\n";
const char* const MSG_FLASH_ID_ERROR = "Read Flash ID Error: %d\n";
const char* const MSG_REBOOT_ERROR = "Reboot Error: %d\n";
const char* const MSG_VERIFY_ERROR = "Flash Verify Error: %d\n";
const char* const MSG_EFUSE_BURN_ERROR = "eFuse Burn Error: %d\n";

// The module's name prints as at most its 16-byte field: a name without a
// terminating zero never runs into the bytes behind it.
const char* const MSG_PROPERTY =
    "ID:\n\t%6X - %.16s\n"
    "Avail RAM for SWD:\n\tStart(HEX): %8X, Size: %8d bytes\n"
    "Internal Flash:\n\tStart(HEX): %8X, Size: %8d bytes\n"
    "External Flash:\n\tStart(HEX): %8X, Size: %8d bytes\n";

const loader_transfer PROGRAM = {CODE_PROGRAM, MSG_SEND_WRITE, MSG_PROGRAM_ERROR, 1};
const loader_transfer READ = {CODE_READ, MSG_SEND_READ, MSG_READ_ERROR, -1};
const loader_erase SECTOR_ERASE = {CODE_SECTOR_ERASE, MSG_SEND_ERASE, MSG_SECTOR_ERASE_ERROR, 1,
                                   true};
const loader_erase BLOCK64_ERASE = {CODE_BLOCK64_ERASE, MSG_SEND_ERASE, MSG_BLOCK64_ERASE_ERROR,
                                    -1, true};

// Property record offsets within the response frame.
constexpr uint32_t PROP_SWD_RAM_START = 8;
constexpr uint32_t PROP_SWD_RAM_SIZE = 12;
constexpr uint32_t PROP_IFLASH_START = 16;
constexpr uint32_t PROP_IFLASH_SIZE = 20;
constexpr uint32_t PROP_EFLASH_START = 24;
constexpr uint32_t PROP_EFLASH_SIZE = 28;
constexpr uint32_t PROP_ID = 32;
constexpr uint32_t PROP_NAME = 36;

uint32_t reply_u32(uint32_t offset) { return le32_get(frame_buffer + offset); }

int reply_i32(uint32_t offset) { return static_cast<int>(static_cast<int32_t>(reply_u32(offset))); }

void print_property() {
    std::printf(MSG_PROPERTY, reply_u32(PROP_ID),
                reinterpret_cast<const char*>(frame_buffer + PROP_NAME),
                reply_u32(PROP_SWD_RAM_START), reply_i32(PROP_SWD_RAM_SIZE),
                reply_u32(PROP_IFLASH_START), reply_i32(PROP_IFLASH_SIZE),
                reply_u32(PROP_EFLASH_START), reply_i32(PROP_EFLASH_SIZE));
}

}  // namespace

int32_t loader_get_prop() {
    const uint16_t request = loader_request(CODE_GET_PROPERTY).finish();
    const uint16_t got = loader_transact(request, LOADER_REPLY_PROPERTY);
    // The CRC over the whole expected length normally catches a short
    // response; should stale bytes behind it happen to match, the count
    // still refuses it.
    if (frame_check(frame_buffer, LOADER_REPLY_PROPERTY) != 0) return LOADER_CRC_ERROR;
    if (loader_check_count(LOADER_REPLY_PROPERTY, got) != 0) return LOADER_SHORT_REPLY;
    if (loader_check_status(MSG_GET_PROPERTY_ERROR, -1) != 0) return -1;
    print_property();
    return 0;
}

int32_t loader_set_baudrate(uint32_t baud) {
    std::printf("%s", MSG_SEND_SET_BAUDRATE);
    const uint16_t request = loader_request(CODE_SET_BAUDRATE).u32(baud).u8(BAUDRATE_FLAG).finish();
    link_purge();
    const int32_t r = loader_exchange(request, {LOADER_REPLY_BARE, MSG_SET_BAUDRATE_ERROR, 1});
    if (r != 0) return r;
    std::printf("%s", MSG_SET_BAUDRATE_OK);
    link_set_baudrate(baud);
    msleep(LOADER_BAUDRATE_SETTLE_MS);
    return 0;
}

int32_t loader_sector_erase(uint32_t addr, uint32_t size) {
    return loader_erase_range(SECTOR_ERASE, addr, size);
}

int32_t loader_block64_erase(uint32_t addr, uint32_t size) {
    return loader_erase_range(BLOCK64_ERASE, addr, size);
}

int32_t loader_chip_erase() {
    std::printf("%s", MSG_SEND_CHIP_ERASE);
    const uint16_t request = loader_request(CODE_CHIP_ERASE).finish();
    return loader_exchange(request, {LOADER_REPLY_BARE, MSG_CHIP_ERASE_ERROR, -1},
                           timeout_stretch::when_different, LOADER_CHIP_ERASE_TIMEOUT_MS);
}

int32_t loader_program(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    return loader_program_pieces(PROGRAM, addr, len, bytes);
}

int32_t loader_read(uint32_t addr, uint32_t len, uint8_t* dest) {
    return loader_read_pieces(READ, addr, len, dest);
}

uint32_t loader_flash_id() { return loader_read_flash_id(CODE_FLASH_ID, MSG_FLASH_ID_ERROR); }

int32_t loader_reboot(uint8_t mode) {
    const uint16_t request = loader_request(CODE_REBOOT).u8(mode).finish();
    const uint16_t got = loader_transact(request, LOADER_REPLY_BARE);
    // The reboot answer is not CRC-checked: the loader may already be going.
    if (loader_check_count(LOADER_REPLY_BARE, got) != 0) return LOADER_SHORT_REPLY;
    return loader_check_status(MSG_REBOOT_ERROR, 1);
}

int32_t loader_verify(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    const uint16_t crc = crc16_of_buffer(bytes, len);
    return loader_verify_crc(CODE_VERIFY, MSG_VERIFY_ERROR, 1, addr, len, crc);
}

int32_t loader_efuse_burn(const uint8_t* bytes, uint32_t len) {
    if (!loader_payload_fits(uint64_t{len} + 4)) return LOADER_REFUSED;
    const uint16_t request = loader_request(CODE_EFUSE_BURN).u32(len).bytes(bytes, len).finish();
    return loader_exchange(request, {LOADER_REPLY_BARE, MSG_EFUSE_BURN_ERROR, 1});
}
