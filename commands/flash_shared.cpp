#include "commands/flash_shared.h"

#include <cstdio>

#include "commands/cmd_util.h"
#include "commands/connection.h"
#include "shell/cmd.h"
#include "shell/console.h"

const char* const MSG_FLASH_READ_FAILS = "read %d bytes at %08X fails\n";
const char* const MSG_OPEN_FAILS = "open %s fails\n";
const char* const MSG_FILE_SIZE = "file size: %d\n";
const char* const MSG_IMAGE_READ_FAILS = "reading %s failed, nothing was sent\n";
const char* const MSG_IMAGE_TOO_LARGE = "%s is larger than 4 GiB, nothing was sent\n";
const char* const MSG_RDID = "RDID(JEDEC) = %X\n";

namespace {

constexpr uint32_t DUMP_LINE_BYTES = 16;
constexpr int32_t NO_MEMORY_READ = 2;

void dump_line(uint32_t addr, const uint8_t* bytes, uint32_t n) {
    std::printf("%08X = ", addr);
    for (uint32_t i = 0; i < n; ++i) std::printf("%02X ", bytes[i]);
    std::printf("\n");
}

}  // namespace

int32_t flash_usage(char** argv) {
    cmd_print_usage(argv[0]);
    return 1;
}

int32_t flash_erase_command(int32_t argc, char** argv, flash_erase_op op, const char* slot) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 3) return flash_usage(argv);
    if (op == nullptr) return ops_call_missing(slot);
    return op(cmd_hex(argv[1]), cmd_hex(argv[2]));
}

flash_bytes flash_buffer(uint32_t size) {
    return flash_bytes(static_cast<uint8_t*>(std::calloc(size > 0 ? size : 1, 1)), &std::free);
}

void flash_dump(uint32_t addr, const uint8_t* bytes, uint32_t size) {
    uint32_t full = size / DUMP_LINE_BYTES * DUMP_LINE_BYTES;
    for (uint32_t at = 0; at < full; at += DUMP_LINE_BYTES) dump_line(addr + at, bytes + at, DUMP_LINE_BYTES);
    if (full < size) dump_line(addr + full, bytes + full, size - full);
}

int32_t flash_read_command(int32_t argc, char** argv, flash_read_op op, const char* slot) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 3) {
        cmd_print_usage(argv[0]);
        return 1;
    }
    if (op == nullptr) return ops_call_missing(slot);
    uint32_t addr = cmd_hex(argv[1]);
    uint32_t size = cmd_hex(argv[2]);
    flash_bytes buf = flash_buffer(size);
    if (buf == nullptr) return NO_MEMORY_READ;
    int32_t result = op(addr, size, buf.get());
    if (result != 0) {
        con_err(MSG_FLASH_READ_FAILS, static_cast<int>(size), addr);
        return result;
    }
    flash_dump(addr, buf.get(), size);
    return 0;
}
