// What the internal and external flash commands share: their common
// messages, the usage result, the erase commands, and reading flash into a
// buffer and dumping it as hex lines.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

// "%p" in the messages of the read commands: 8 upper-case hex digits.
extern const char* const MSG_FLASH_READ_FAILS;  // "read %d bytes at %08X fails\n"

extern const char* const MSG_OPEN_FAILS;        // "open %s fails\n"
extern const char* const MSG_FILE_SIZE;         // "file size: %d\n"
extern const char* const MSG_IMAGE_READ_FAILS;
extern const char* const MSG_IMAGE_TOO_LARGE;
extern const char* const MSG_RDID;              // "RDID(JEDEC) = %X\n"

// Prints the usage text of the row the typed command word selects; 1.
int32_t flash_usage(char** argv);

using flash_erase_op = int32_t (*)(uint32_t addr, uint32_t size);

// The "start size" erase commands: guard, exactly two words, then `op`.
int32_t flash_erase_command(int32_t argc, char** argv, flash_erase_op op, const char* slot);

using flash_read_op = int32_t (*)(uint32_t addr, uint32_t len, uint8_t* dest);

// A zero-filled buffer of `size` bytes (at least one), or null when out of
// memory. calloc: the pages are only touched as the read fills them.
using flash_bytes = std::unique_ptr<uint8_t, decltype(&std::free)>;
flash_bytes flash_buffer(uint32_t size);

// Lines of "%08X = " and up to sixteen "%02X ", addressed from `addr`.
void flash_dump(uint32_t addr, const uint8_t* bytes, uint32_t size);

// flashread / extflashread: guard, "start size" words, read through `op`, dump.
int32_t flash_read_command(int32_t argc, char** argv, flash_read_op op, const char* slot);
