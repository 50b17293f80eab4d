// External flash commands: the serial flash chip beside the module, reached
// through the loader's external-flash requests. Images go whole: no header.
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/connection.h"
#include "commands/flash_shared.h"
#include "common/crc16.h"
#include "image/mp_header.h"
#include "shell/cmd.h"
#include "shell/console.h"

namespace {

const char* const MSG_CRC = "crc16 = %04X\n";

constexpr int32_t NO_MEMORY = 3;
constexpr int32_t EMPTY_IMAGE = 4;  // missing or empty file
constexpr int32_t IMAGE_READ_FAILS = 3;

// Reads the whole file at `path`. 0, or the command's result.
int32_t read_whole_file(const char* path, std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) con_err(MSG_OPEN_FAILS, path);
    int64_t size = mp_file_size(f);
    std::printf(MSG_FILE_SIZE, static_cast<int>(size));
    int32_t result = 0;
    if (size <= 0) {
        result = EMPTY_IMAGE;
    } else if (size > static_cast<int64_t>(UINT32_MAX)) {
        con_err(MSG_IMAGE_TOO_LARGE, path);
        result = IMAGE_READ_FAILS;
    } else {
        try {
            bytes.resize(static_cast<size_t>(size));
            if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
                con_err(MSG_IMAGE_READ_FAILS, path);
                result = IMAGE_READ_FAILS;
            }
        } catch (const std::bad_alloc&) {
            result = NO_MEMORY;
        }
    }
    if (f != nullptr) std::fclose(f);
    return result;
}

}  // namespace

int32_t do_extbe32(int32_t argc, char** argv) {
    return flash_erase_command(argc, argv, cur_ops->ext_block32_erase, "ext_block32_erase");
}

int32_t do_extbe64(int32_t argc, char** argv) {
    return flash_erase_command(argc, argv, cur_ops->ext_block64_erase, "ext_block64_erase");
}

int32_t do_extsectorerase(int32_t argc, char** argv) {
    return flash_erase_command(argc, argv, cur_ops->ext_sector_erase, "ext_sector_erase");
}

int32_t do_extchiperase(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 1) return flash_usage(argv);
    return CALL_OP(ext_chip_erase);
}

int32_t do_extprogram(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc < 3) return flash_usage(argv);
    if (cur_ops->ext_program == nullptr) return ops_call_missing("ext_program");
    uint32_t addr = cmd_hex(argv[2]);
    std::vector<uint8_t> bytes;
    int32_t result = read_whole_file(argv[1], bytes);
    if (result != 0) return result;
    return cur_ops->ext_program(addr, static_cast<uint32_t>(bytes.size()), bytes.data());
}

int32_t do_extflashread(int32_t argc, char** argv) {
    return flash_read_command(argc, argv, cur_ops->ext_read, "ext_read");
}

int32_t do_extflashverify(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc < 3) return flash_usage(argv);
    if (cur_ops->ext_verify == nullptr) return ops_call_missing("ext_verify");
    uint32_t addr = cmd_hex(argv[2]);
    std::vector<uint8_t> bytes;
    int32_t result = read_whole_file(argv[1], bytes);
    if (result != 0) return result;
    uint32_t size = static_cast<uint32_t>(bytes.size());
    uint16_t crc = crc16_of_buffer(bytes.data(), size);
    std::printf(MSG_CRC, crc);
    return cur_ops->ext_verify(addr, size, crc);
}

int32_t do_extflashid(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (cur_ops->ext_flash_id == nullptr) return ops_call_missing("ext_flash_id");
    std::printf(MSG_RDID, cur_ops->ext_flash_id());
    return 0;
}
