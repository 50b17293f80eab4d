// CRC-16/ARC (poly 0x8005 reflected as 0xA001, init 0, no final XOR).
// Shared by flint's loader frames and tunerlib's calibration packets.
#pragma once
#include <cstdint>

// Running CRC over `count` bytes (taken modulo 65536), starting from `start`.
// A count of 0 returns `start` unchanged.
uint16_t crc16(uint16_t start, const uint8_t* bytes, uint32_t count);

