// Internal flash commands: pageerase, be64, chiperase, program, flashverify,
// flashread, savebin, modify and flashid. Each parses its words, runs the
// connection guard (all but flashid) and calls the table in force.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/connection.h"
#include "commands/flash_shared.h"
#include "image/mp_header.h"
#include "shell/cmd.h"
#include "shell/console.h"

namespace {

const char* const MSG_PAYLOAD_LENGTH = "payload length: %d\n";
const char* const MSG_WRITE_FAILS = "writing %s failed\n";
const char* const MSG_NEW_BYTES = "read new bytes error!\n";
const char* const MSG_TOO_MANY_BYTES = "modify: at most %u new values are accepted, %u were given\n";
const char* const MSG_PAST_PAGE =
    "modify: %u values at 0x%08X run past the end of the 4096-byte page at 0x%08X; "
    "nothing was changed\n";
const char* const MSG_PAGE_READ_FAILS = "read bytes at %08X fails\n";
const char* const MSG_PAGE_ERASE_FAILS = "erase page at %08X fails\n";
const char* const MSG_PAGE_PROGRAM_FAILS = "page at %08X is erased, but program fails\n";

// Local results.
constexpr int32_t NO_MEMORY_READ = 2;   // flashread, savebin
constexpr int32_t IMAGE_FAILURE = 3;    // program, flashverify: open, memory, read
constexpr int32_t SAVE_FAILURE = 3;     // savebin: the dump file
constexpr int32_t BAD_NEW_BYTES = 2;    // modify

constexpr uint32_t PAGE_BYTES = 4096;
constexpr uint32_t PAGE_MASK = PAGE_BYTES - 1;
constexpr uint32_t MODIFY_MAX_BYTES = 32;
constexpr size_t CHARS_PER_VALUE = 3;  // two hex digits and a colon

using erase_op = int32_t (*)(uint32_t addr, uint32_t size);
using image_op = int32_t (*)(uint32_t addr, uint32_t len, const uint8_t* bytes);

// Reads the payload of an image: behind the 512-byte header when the file
// carries one, else the whole file. Null after a message when it cannot.
uint8_t* read_payload(FILE* f, const char* name, int64_t size, int64_t payload) {
    if (payload < 0) return nullptr;  // mp_payload_length printed why
    if (payload > static_cast<int64_t>(UINT32_MAX)) {
        con_err(MSG_IMAGE_TOO_LARGE, name);
        return nullptr;
    }
    if (size != payload && std::fseek(f, MP_HEADER_SIZE, SEEK_SET) != 0) {
        con_err(MSG_IMAGE_READ_FAILS, name);
        return nullptr;
    }
    uint8_t* bytes = new (std::nothrow) uint8_t[payload > 0 ? payload : 1];
    if (bytes == nullptr) return nullptr;
    if (std::fread(bytes, 1, static_cast<size_t>(payload), f) != static_cast<size_t>(payload)) {
        con_err(MSG_IMAGE_READ_FAILS, name);
        delete[] bytes;
        return nullptr;
    }
    return bytes;
}

// program and flashverify: the payload behind an optional header goes to `op`.
int32_t image_command(int32_t argc, char** argv, image_op op, const char* slot) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc < 3) return flash_usage(argv);
    if (op == nullptr) return ops_call_missing(slot);
    uint32_t addr = cmd_hex(argv[2]);
    FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        con_err(MSG_OPEN_FAILS, argv[1]);
        return IMAGE_FAILURE;
    }
    int64_t size = mp_file_size(f);
    int64_t payload = mp_payload_length(f);
    std::printf(MSG_FILE_SIZE, static_cast<int>(size));
    std::printf(MSG_PAYLOAD_LENGTH, static_cast<int>(payload));
    uint8_t* bytes = read_payload(f, argv[1], size, payload);
    std::fclose(f);
    if (bytes == nullptr) return IMAGE_FAILURE;
    int32_t result = op(addr, static_cast<uint32_t>(payload), bytes);
    delete[] bytes;
    return result;
}

// Splits "11:22:33" into bytes: n = colons + 1 pieces from the first 3n
// characters. 0, or BAD_NEW_BYTES after its message.
int32_t parse_new_bytes(const char* text, uint8_t* out, uint32_t* count) {
    size_t colons = 0;
    for (const char* p = text; *p != '\0'; ++p) colons += *p == ':';
    size_t n = colons + 1;
    if (n > MODIFY_MAX_BYTES) {
        con_err(MSG_TOO_MANY_BYTES, MODIFY_MAX_BYTES, static_cast<unsigned>(n));
        return BAD_NEW_BYTES;
    }
    char copy[MODIFY_MAX_BYTES * CHARS_PER_VALUE + 1] = {};
    std::strncpy(copy, text, n * CHARS_PER_VALUE);
    size_t got = 0;
    for (char* piece = std::strtok(copy, ":"); piece != nullptr && got < n; piece = std::strtok(nullptr, ":"))
        out[got++] = static_cast<uint8_t>(cmd_hex(piece));
    if (*text == '\0' || got < n) {
        con_err("%s", MSG_NEW_BYTES);
        return BAD_NEW_BYTES;
    }
    *count = static_cast<uint32_t>(n);
    return 0;
}

}  // namespace

int32_t do_pageerase(int32_t argc, char** argv) {
    return flash_erase_command(argc, argv, cur_ops->page_erase, "page_erase");
}

int32_t do_be64(int32_t argc, char** argv) {
    return flash_erase_command(argc, argv, cur_ops->block64_erase, "block64_erase");
}

int32_t do_chiperase(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 1) return flash_usage(argv);
    return CALL_OP(chip_erase);
}

int32_t do_program(int32_t argc, char** argv) {
    return image_command(argc, argv, cur_ops->program, "program");
}

int32_t do_flashverify(int32_t argc, char** argv) {
    return image_command(argc, argv, cur_ops->verify, "verify");
}

int32_t do_flashread(int32_t argc, char** argv) {
    return flash_read_command(argc, argv, cur_ops->read, "read");
}

int32_t do_savebin(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 4) return flash_usage(argv);
    if (cur_ops->read == nullptr) return ops_call_missing("read");
    uint32_t addr = cmd_hex(argv[2]);
    uint32_t size = cmd_hex(argv[3]);
    flash_bytes buf = flash_buffer(size);
    if (buf == nullptr) return NO_MEMORY_READ;
    int32_t result = cur_ops->read(addr, size, buf.get());
    if (result != 0) {
        con_err(MSG_FLASH_READ_FAILS, static_cast<int>(size), addr);
        return result;
    }
    FILE* f = std::fopen(argv[1], "wb+");
    if (f == nullptr) {
        con_err(MSG_OPEN_FAILS, argv[1]);
        return SAVE_FAILURE;
    }
    bool written = std::fwrite(buf.get(), 1, size, f) == size;
    if (std::fclose(f) != 0) written = false;
    if (!written) {
        con_err(MSG_WRITE_FAILS, argv[1]);
        return SAVE_FAILURE;
    }
    return 0;
}

int32_t do_modify(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 3) return flash_usage(argv);
    const flash_ops& ops = *cur_ops;
    if (ops.read == nullptr) return ops_call_missing("read");
    if (ops.page_erase == nullptr) return ops_call_missing("page_erase");
    if (ops.program == nullptr) return ops_call_missing("program");
    uint32_t addr = cmd_hex(argv[1]);
    uint32_t page = addr & ~PAGE_MASK;
    uint32_t offset = addr & PAGE_MASK;
    uint8_t values[MODIFY_MAX_BYTES] = {};
    uint32_t n = 0;
    int32_t result = parse_new_bytes(argv[2], values, &n);
    if (result != 0) return result;
    if (offset + n > PAGE_BYTES) {
        con_err(MSG_PAST_PAGE, n, addr, page);
        return BAD_NEW_BYTES;
    }
    // One page on the stack: no allocation can fail between read and program.
    uint8_t buf[PAGE_BYTES];
    result = ops.read(page, PAGE_BYTES, buf);
    if (result != 0) {
        con_err(MSG_PAGE_READ_FAILS, page);
        return result;
    }
    std::memcpy(buf + offset, values, n);
    result = ops.page_erase(page, PAGE_BYTES);
    if (result != 0) {
        con_err(MSG_PAGE_ERASE_FAILS, page);
        return result;
    }
    result = ops.program(page, PAGE_BYTES, buf);
    if (result != 0) {
        con_err(MSG_PAGE_PROGRAM_FAILS, page);
        return result;
    }
    return 0;
}

int32_t do_flashid(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    if (cur_ops->flash_id == nullptr) return ops_call_missing("flash_id");
    std::printf(MSG_RDID, cur_ops->flash_id());
    return 0;
}
