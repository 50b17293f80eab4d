// What a flash ID operation returns when it cannot read the ID, over HCI and
// through the loader alike.
#pragma once
#include <cstdint>

constexpr uint32_t FLASH_ID_FAIL = 0xFFFFFF;
