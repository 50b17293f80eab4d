// Loader operations on the external flash. They mirror the internal ones,
// with two differences: no erase stretches the read time-out, and every
// non-zero status gives -1.
#include <cstdio>

#include "protocol/loader_frame.h"

namespace {

constexpr uint16_t CODE_EXT_BLOCK32_ERASE = 0x1036;
constexpr uint16_t CODE_EXT_BLOCK64_ERASE = 0x1037;
constexpr uint16_t CODE_EXT_SECTOR_ERASE = 0x1038;
constexpr uint16_t CODE_EXT_CHIP_ERASE = 0x1039;
constexpr uint16_t CODE_EXT_PROGRAM = 0x103A;
constexpr uint16_t CODE_EXT_READ = 0x103B;
constexpr uint16_t CODE_EXT_FLASH_ID = 0x103C;
constexpr uint16_t CODE_EXT_VERIFY = 0x1051;

constexpr int32_t EXT_STATUS_RESULT = -1;

const char* const MSG_SEND_BLOCK32_ERASE = "send erase command!\n";
const char* const MSG_SEND_BLOCK64_ERASE = "send ext be64 erase command!\n";
const char* const MSG_SEND_SECTOR_ERASE = "send ext erase command!\n";
const char* const MSG_SEND_CHIP_ERASE = "send ext chip erase command!\n";
const char* const MSG_SEND_WRITE = "send ext write command!\n";
const char* const MSG_SEND_READ = "send ext read command!\n";

const char* const MSG_BLOCK32_ERASE_ERROR = "Ext Flash Block32 Erase Error: %d\n";
const char* const MSG_BLOCK64_ERASE_ERROR = "Ext Block64 Erase Error: %d\n";
const char* const MSG_SECTOR_ERASE_ERROR = "Ext Flash Sector Erase: %d\n";
const char* const MSG_CHIP_ERASE_ERROR = "Ext Chip Erase Error: %d\n";
const char* const MSG_PROGRAM_ERROR = "Ext Program Error: %d\n";
const char* const MSG_READ_ERROR = "Flash Read Error: %d\n";
const char* const MSG_FLASH_ID_ERROR = "Read Ext Flash ID Error: %d\n";
const char* const MSG_VERIFY_ERROR = "Ext Flash Verify Error: %d\n";

const loader_erase BLOCK32_ERASE = {CODE_EXT_BLOCK32_ERASE, MSG_SEND_BLOCK32_ERASE,
                                    MSG_BLOCK32_ERASE_ERROR, EXT_STATUS_RESULT, false};
const loader_erase BLOCK64_ERASE = {CODE_EXT_BLOCK64_ERASE, MSG_SEND_BLOCK64_ERASE,
                                    MSG_BLOCK64_ERASE_ERROR, EXT_STATUS_RESULT, false};
const loader_erase SECTOR_ERASE = {CODE_EXT_SECTOR_ERASE, MSG_SEND_SECTOR_ERASE,
                                   MSG_SECTOR_ERASE_ERROR, EXT_STATUS_RESULT, false};
const loader_transfer PROGRAM = {CODE_EXT_PROGRAM, MSG_SEND_WRITE, MSG_PROGRAM_ERROR,
                                 EXT_STATUS_RESULT};
const loader_transfer READ = {CODE_EXT_READ, MSG_SEND_READ, MSG_READ_ERROR, EXT_STATUS_RESULT};

}  // namespace

int32_t loader_ext_block32_erase(uint32_t addr, uint32_t size) {
    return loader_erase_range(BLOCK32_ERASE, addr, size);
}

int32_t loader_ext_block64_erase(uint32_t addr, uint32_t size) {
    return loader_erase_range(BLOCK64_ERASE, addr, size);
}

int32_t loader_ext_sector_erase(uint32_t addr, uint32_t size) {
    return loader_erase_range(SECTOR_ERASE, addr, size);
}

int32_t loader_ext_chip_erase() {
    std::printf("%s", MSG_SEND_CHIP_ERASE);
    const uint16_t request = loader_request(CODE_EXT_CHIP_ERASE).finish();
    return loader_exchange(request, {LOADER_REPLY_BARE, MSG_CHIP_ERASE_ERROR, EXT_STATUS_RESULT});
}

int32_t loader_ext_program(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    return loader_program_pieces(PROGRAM, addr, len, bytes);
}

int32_t loader_ext_read(uint32_t addr, uint32_t len, uint8_t* dest) {
    return loader_read_pieces(READ, addr, len, dest);
}

uint32_t loader_ext_flash_id() {
    return loader_read_flash_id(CODE_EXT_FLASH_ID, MSG_FLASH_ID_ERROR);
}

int32_t loader_ext_verify(uint32_t addr, uint32_t len, uint16_t crc) {
    return loader_verify_crc(CODE_EXT_VERIFY, MSG_VERIFY_ERROR, EXT_STATUS_RESULT, addr, len, crc);
}
