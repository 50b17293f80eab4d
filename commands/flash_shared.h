// What the internal and external flash commands share: their common
// messages and results, the "start size" erase commands, and reading flash
// into a buffer and dumping it as hex lines.
#pragma once
#include <cstdint>

#include "commands/cmd_util.h"
#include "link/flash_ops.h"
#include "record/progress.h"

// "%08X" stands for the address: 8 upper-case hex digits.
extern const char* const MSG_FLASH_READ_FAILS;  // "read %u bytes at %08X fails\n"
extern const char* const MSG_IMAGE_READ_FAILS;  // "reading %s failed, nothing was sent\n"
extern const char* const MSG_RDID;              // "RDID(JEDEC) = %X\n"

// Result of flashread and savebin when the buffer cannot be had.
constexpr int32_t FLASH_READ_NO_MEMORY = 2;

using flash_read_op = int32_t (*)(uint32_t addr, uint32_t len, uint8_t* dest);

// Reads `size` bytes at `addr` through `read` into a new buffer. Null with
// *result set when memory runs out or the read fails (after its message).
cmd_bytes flash_read_into(flash_read_op read, const char* command, uint32_t addr, uint32_t size,
                          int32_t* result);

// Lines of "%08X = " and up to sixteen "%02X ", addressed from `addr`.
void flash_dump(uint32_t addr, const uint8_t* bytes, uint32_t size);

// The "start size" erase commands: opening, then the erase slot.
template <auto Slot>
int32_t flash_erase_command(int32_t argc, char** argv, const char* usage) {
    int32_t result = 0;
    const auto erase = cmd_open_slot<Slot>(cmd_exactly(usage, 3), argc, &result);
    if (erase == nullptr) return result;
    const uint32_t addr = cmd_hex(argv[1]);
    const uint32_t size = cmd_hex(argv[2]);
    if (!cmd_range_fits(argv[0], addr, size)) return CMD_RANGE_REFUSED;
    progress_begin("erase", &addr, size);
    const int32_t r = erase(addr, size);
    progress_end(r == 0);
    return r;
}

// flashread / extflashread: opening, "start size" words, read, dump.
template <auto Slot>
int32_t flash_read_command(int32_t argc, char** argv, const char* usage) {
    int32_t result = 0;
    const flash_read_op read = cmd_open_slot<Slot>(cmd_exactly(usage, 3), argc, &result);
    if (read == nullptr) return result;
    const uint32_t addr = cmd_hex(argv[1]);
    const uint32_t size = cmd_hex(argv[2]);
    if (!cmd_range_fits(argv[0], addr, size)) return CMD_RANGE_REFUSED;
    cmd_bytes buf = flash_read_into(read, argv[0], addr, size, &result);
    if (buf == nullptr) return result;
    flash_dump(addr, buf.get(), size);
    return 0;
}
