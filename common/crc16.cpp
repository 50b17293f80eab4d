#include "common/crc16.h"

#include <array>

namespace {

constexpr uint16_t kReflectedPoly = 0xA001;

constexpr std::array<uint16_t, 256> make_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ kReflectedPoly)
                            : static_cast<uint16_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = make_table();

}  // namespace

uint16_t crc16(uint16_t start, const uint8_t* bytes, uint32_t count) {
    uint16_t crc = start;
    uint32_t n = count & 0xFFFFu;
    for (uint32_t i = 0; i < n; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}
