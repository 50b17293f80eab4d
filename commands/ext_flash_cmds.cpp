// External flash commands: the serial flash chip beside the module, reached
// through the loader's external-flash requests. Images go whole: no header.
#include <cstdint>
#include <cstdio>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/flash_shared.h"
#include "image/mp_header.h"
#include "platform/console.h"
#include "protocol/loader.h"

namespace {

const char* const MSG_CRC = "crc16 = %04X\n";
const char* const MSG_EMPTY_FILE = "%s: %s holds no bytes, nothing was sent\n";

constexpr int32_t EMPTY_IMAGE = 4;       // missing or empty file
constexpr int32_t IMAGE_READ_FAILS = 3;  // too large, no memory, read error

// Reads the whole file at `path`; a file that cannot be opened counts as
// empty. Null with *result set when there is nothing to send.
cmd_bytes read_whole_file(const char* command, const char* path, uint32_t* size_out,
                          int32_t* result) {
    cmd_file file(path);
    if (!file.is_open()) file.report_not_open();
    int64_t size = mp_file_size(file.get());
    std::printf(MSG_FILE_SIZE, static_cast<long long>(size));
    if (size <= 0) {
        if (file.is_open()) con_err(MSG_EMPTY_FILE, command, path);
        *result = EMPTY_IMAGE;
        return cmd_no_bytes();
    }
    if (size > static_cast<int64_t>(UINT32_MAX)) {
        con_err(MSG_IMAGE_TOO_LARGE, path);
        *result = IMAGE_READ_FAILS;
        return cmd_no_bytes();
    }
    *size_out = static_cast<uint32_t>(size);
    cmd_bytes bytes = file.read(command, 0, *size_out, MSG_IMAGE_READ_FAILS);
    if (bytes == nullptr) *result = IMAGE_READ_FAILS;
    return bytes;
}

// A whole file and the flash address it goes to.
struct file_at {
    cmd_bytes bytes = cmd_no_bytes();
    uint32_t size = 0;
    uint32_t addr = 0;
};

// extprogram and extflashverify: the opening, the slot, then "file addr".
// The slot, or nullptr with *result set when the handler must stop.
template <auto Slot>
auto open_with_file(int32_t argc, char** argv, const char* usage, file_at& file, int32_t* result) {
    auto op = cmd_open_slot<Slot>(cmd_at_least(usage, 3), argc, result);
    if (op == nullptr) return op;
    file.addr = cmd_hex(argv[2]);
    file.bytes = read_whole_file(argv[0], argv[1], &file.size, result);
    if (file.bytes == nullptr) return decltype(op){nullptr};
    if (!cmd_range_fits(argv[0], file.addr, file.size)) {
        *result = CMD_RANGE_REFUSED;
        return decltype(op){nullptr};
    }
    return op;
}

}  // namespace

int32_t do_extbe32(int32_t argc, char** argv) {
    return flash_erase_command<&flash_ops::ext_block32_erase>(argc, argv, USAGE_EXTBE32);
}

int32_t do_extbe64(int32_t argc, char** argv) {
    return flash_erase_command<&flash_ops::ext_block64_erase>(argc, argv, USAGE_EXTBE64);
}

int32_t do_extsectorerase(int32_t argc, char** argv) {
    return flash_erase_command<&flash_ops::ext_sector_erase>(argc, argv, USAGE_EXTSECTORERASE);
}

int32_t do_extchiperase(int32_t argc, char** argv) {
    (void)argv;
    return cmd_run_slot<&flash_ops::ext_chip_erase>(cmd_exactly(USAGE_EXTCHIPERASE, 1), argc);
}

int32_t do_extprogram(int32_t argc, char** argv) {
    int32_t result = 0;
    file_at image;
    const auto ext_program = open_with_file<&flash_ops::ext_program>(argc, argv, USAGE_EXTPROGRAM,
                                                                     image, &result);
    if (ext_program == nullptr) return result;
    return ext_program(image.addr, image.size, image.bytes.get());
}

int32_t do_extflashread(int32_t argc, char** argv) {
    return flash_read_command<&flash_ops::ext_read>(argc, argv, USAGE_EXTFLASHREAD);
}

int32_t do_extflashverify(int32_t argc, char** argv) {
    int32_t result = 0;
    file_at image;
    const auto ext_verify = open_with_file<&flash_ops::ext_verify>(argc, argv, USAGE_FLASHVERIFY,
                                                                   image, &result);
    if (ext_verify == nullptr) return result;
    uint16_t crc = crc16_of_buffer(image.bytes.get(), image.size);
    std::printf(MSG_CRC, crc);
    return ext_verify(image.addr, image.size, crc);
}

int32_t do_extflashid(int32_t argc, char** argv) {
    (void)argv;
    int32_t result = 0;
    const auto ext_flash_id =
        cmd_open_slot<&flash_ops::ext_flash_id>(cmd_at_least(USAGE_EXTFLASHID, 1), argc, &result);
    if (ext_flash_id == nullptr) return result;
    std::printf(MSG_RDID, ext_flash_id());
    return 0;
}
