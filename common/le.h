// Little-endian fields: every multi-byte field on the wire (loader frames,
// HCI packets, calibration packets) and in image headers is stored low byte
// first.
#pragma once
#include <cstdint>

inline uint16_t le16_get(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t le32_get(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The low three bytes: flash IDs are 24-bit JEDEC values.
inline uint32_t le24_get(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}

inline void le16_put(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void le32_put(uint8_t* p, uint32_t v) {
    le16_put(p, static_cast<uint16_t>(v));
    le16_put(p + 2, static_cast<uint16_t>(v >> 16));
}
