// Limits every flash operation shares, over HCI and through the loader alike.
#pragma once
#include <cstdint>

// What a flash ID operation returns when it cannot read the ID.
constexpr uint32_t FLASH_ID_FAIL = 0xFFFFFF;

// True when [addr, addr + len) lies inside the 32-bit address space: the
// transfers split a range into pieces by 32-bit addresses, which must not
// wrap past 0xFFFFFFFF to 0.
constexpr bool flash_range_fits(uint32_t addr, uint64_t len) {
    return uint64_t{addr} + len <= uint64_t{UINT32_MAX} + 1;
}
