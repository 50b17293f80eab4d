// The loader's framed request/response protocol: frame layout, the exchange
// cycle, split transfers, and the loader operations of the operations tables.
#pragma once
#include <cstdint>

#include "link/link.h"

constexpr uint8_t LOADER_FRAME_MARKER = 0x87;
constexpr uint32_t LOADER_MAX_PAYLOAD = PACKET_SIZE_MAX;
// Largest request: address, length and data; 13 bytes around the data.
constexpr uint32_t LOADER_REQUEST_OVERHEAD = 13;
constexpr uint32_t FRAME_BUFFER_SIZE = LOADER_MAX_PAYLOAD + LOADER_REQUEST_OVERHEAD;

// Holds each request while it is sent and then the response over it.
extern uint8_t frame_buffer[FRAME_BUFFER_SIZE];

// 0 when the last two bytes are the little-endian CRC-16 of the ones before;
// else prints "crc16 error! read %04x != cacled %04x\n" and returns -1.
int32_t frame_check(const uint8_t* frame, uint16_t length);

// CRC of a whole buffer from 0, fed in 128-byte steps as the loader's host
// side has always done it; prints "crc16 = %04X\n".
uint16_t crc16_of_buffer(const uint8_t* bytes, uint32_t count);

// The most bytes one eFuse burn request carries: the frame buffer less the
// marker, code, length field and CRC around them.
constexpr uint32_t LOADER_EFUSE_MAX_BYTES = FRAME_BUFFER_SIZE - 1 - 2 - 4 - 2;

// Internal flash, eFuse and control.
int32_t loader_get_prop();
int32_t loader_set_baudrate(uint32_t baud);
int32_t loader_sector_erase(uint32_t addr, uint32_t size);
int32_t loader_chip_erase();
int32_t loader_program(uint32_t addr, uint32_t len, const uint8_t* bytes);
int32_t loader_read(uint32_t addr, uint32_t len, uint8_t* dest);
int32_t loader_block64_erase(uint32_t addr, uint32_t size);
uint32_t loader_flash_id();
int32_t loader_reboot(uint8_t mode);
int32_t loader_verify(uint32_t addr, uint32_t len, const uint8_t* bytes);
int32_t loader_efuse_burn(const uint8_t* bytes, uint32_t len);

// External flash.
int32_t loader_ext_block32_erase(uint32_t addr, uint32_t size);
int32_t loader_ext_block64_erase(uint32_t addr, uint32_t size);
int32_t loader_ext_sector_erase(uint32_t addr, uint32_t size);
int32_t loader_ext_chip_erase();
int32_t loader_ext_program(uint32_t addr, uint32_t len, const uint8_t* bytes);
int32_t loader_ext_read(uint32_t addr, uint32_t len, uint8_t* dest);
uint32_t loader_ext_flash_id();
int32_t loader_ext_verify(uint32_t addr, uint32_t len, uint16_t crc);
