#include "commands/flash_shared.h"

#include <cstdio>

#include "platform/console.h"
#include "record/failure.h"
#include "record/progress.h"

const char* const MSG_FLASH_READ_FAILS = "read %u bytes at %08X fails\n";
const char* const MSG_IMAGE_READ_FAILS = "reading %s failed, nothing was sent\n";
const char* const MSG_RDID = "RDID(JEDEC) = %X\n";

namespace {

constexpr uint32_t DUMP_LINE_BYTES = 16;

void dump_line(uint32_t addr, const uint8_t* bytes, uint32_t n) {
    std::printf("%08X = ", addr);
    for (uint32_t i = 0; i < n; ++i) std::printf("%02X ", bytes[i]);
    std::printf("\n");
}

}  // namespace

cmd_bytes flash_read_into(flash_read_op read, const char* command, uint32_t addr, uint32_t size,
                          int32_t* result) {
    cmd_bytes buf = cmd_buffer(command, size);
    if (buf == nullptr) {
        *result = FLASH_READ_NO_MEMORY;
        return buf;
    }
    progress_begin("read", &addr, size);
    *result = read(addr, size, buf.get());
    progress_end(*result == 0);
    if (*result != 0) {
        con_err(MSG_FLASH_READ_FAILS, size, addr);
        failure_note(failure_class::link);
        buf.reset();
    }
    return buf;
}

void flash_dump(uint32_t addr, const uint8_t* bytes, uint32_t size) {
    uint32_t full = size / DUMP_LINE_BYTES * DUMP_LINE_BYTES;
    for (uint32_t at = 0; at < full; at += DUMP_LINE_BYTES) dump_line(addr + at, bytes + at, DUMP_LINE_BYTES);
    if (full < size) dump_line(addr + full, bytes + full, size - full);
}
