// CRC-16/ARC as frames and verify requests use it, checked against a bitwise
// reference that does not share the table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "common/crc16.h"
#include "protocol/loader.h"

namespace {

uint16_t reference_crc(const std::vector<uint8_t>& data) {
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + (i >> 8) * 7 + 3);
    return v;
}

TEST(Crc16, CheckValueOfTheNineDigits) {
    const char* digits = "123456789";
    EXPECT_EQ(crc16(0, reinterpret_cast<const uint8_t*>(digits), 9), 0xBB3D);
}

TEST(Crc16, EmptyRangeReturnsTheStartValue) {
    const uint8_t byte = 0x55;
    for (uint16_t start : {0x0000, 0x1234, 0xFFFF}) EXPECT_EQ(crc16(start, &byte, 0), start);
}

TEST(Crc16, RunningValueContinuesAcrossCalls) {
    const std::vector<uint8_t> data = pattern(1000);
    const uint16_t first = crc16(0, data.data(), 333);
    EXPECT_EQ(crc16(first, data.data() + 333, 667), reference_crc(data));
}

// crc16_of_buffer feeds 128-byte steps; the result must be one pass over the
// whole buffer, also beyond the 65535 bytes one crc16 call can take.
TEST(Crc16, WholeBufferEqualsOnePassAndIsPrinted) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{127}, size_t{128}, size_t{129}, size_t{1000},
                     size_t{70001}}) {
        const std::vector<uint8_t> data = pattern(n);
        const captured c =
            run_captured([&] { return crc16_of_buffer(data.data(), static_cast<uint32_t>(n)); });
        const uint16_t want = reference_crc(data);
        EXPECT_EQ(c.result, want) << n << " bytes";
        char line[32];
        std::snprintf(line, sizeof line, "crc16 = %04X\n", want);
        EXPECT_EQ(c.out, line) << n << " bytes";
    }
}

}  // namespace
