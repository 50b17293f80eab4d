// Internal flash commands: pageerase, be64, chiperase, program, flashverify,
// flashread, savebin, modify and flashid. Each parses its words, runs the
// connection guard (all but flashid) and calls the table in force.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/flash_shared.h"
#include "image/mp_header.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "record/failure.h"
#include "record/progress.h"
#include "record/run_record.h"

namespace {

const char* const MSG_PAYLOAD_LENGTH = "payload length: %lld\n";
const char* const MSG_WRITE_FAILS = "writing %s failed\n";
const char* const MSG_NO_PAYLOAD = "%s: %s holds no payload, nothing was sent\n";
const char* const MSG_NEW_BYTES = "read new bytes error!\n";
const char* const MSG_TOO_MANY_BYTES = "modify: at most %u new values are accepted, %u were given\n";
const char* const MSG_PAST_PAGE =
    "modify: %u values at 0x%08X run past the end of the 4096-byte page at 0x%08X; "
    "nothing was changed\n";
const char* const MSG_PAGE_READ_FAILS = "read bytes at %08X fails\n";
const char* const MSG_PAGE_ERASE_FAILS = "erase page at %08X fails\n";
const char* const MSG_PAGE_PROGRAM_FAILS = "page at %08X is erased, but program fails\n";

// Local results.
constexpr int32_t IMAGE_FAILURE = 3;    // program, flashverify: open, memory, read
constexpr int32_t SAVE_FAILURE = 3;     // savebin: the dump file
constexpr int32_t BAD_NEW_BYTES = 2;    // modify

// The dump is written as "FILE.PID.part" first.
const char* const SAVE_PART_FORMAT = "%s.%u.part";
constexpr size_t SAVE_PART_BYTES = 4096;

constexpr uint32_t PAGE_BYTES = 4096;
constexpr uint32_t PAGE_MASK = PAGE_BYTES - 1;
constexpr uint32_t MODIFY_MAX_BYTES = 32;
constexpr size_t CHARS_PER_VALUE = 3;  // two hex digits and a colon

// The payload of an image: behind the 512-byte header when the file carries
// one, else the whole file. Null after a message when it cannot be read.
cmd_bytes read_payload(const cmd_file& file, const char* command, int64_t size, int64_t payload) {
    if (payload < 0) return cmd_no_bytes();  // mp_payload_length printed why
    if (payload > static_cast<int64_t>(UINT32_MAX)) {
        con_err(MSG_IMAGE_TOO_LARGE, file.path());
        failure_note(failure_class::input);
        return cmd_no_bytes();
    }
    const uint64_t offset = size != payload ? MP_HEADER_SIZE : 0;
    return file.read(command, offset, static_cast<uint32_t>(payload), MSG_IMAGE_READ_FAILS);
}

// Opens an image, prints its size lines and reads its payload. Null with
// *result set when it cannot; the file is closed again either way.
cmd_bytes load_image(const char* command, const char* path, uint32_t* length, image_kind* kind,
                     int32_t* result) {
    *result = IMAGE_FAILURE;
    cmd_file file(path);
    if (!file.is_open()) {
        file.report_not_open();
        return cmd_no_bytes();
    }
    int64_t size = mp_file_size(file.get());
    int64_t payload = mp_payload_length(file.get());
    std::printf(MSG_FILE_SIZE, static_cast<long long>(size));
    std::printf(MSG_PAYLOAD_LENGTH, static_cast<long long>(payload));
    // Programming or verifying nothing would report success for a module
    // that holds nothing of the image.
    if (payload == 0) {
        con_err(MSG_NO_PAYLOAD, command, path);
        failure_note(failure_class::input);
        return cmd_no_bytes();
    }
    if (payload < 0) failure_note(failure_class::input);
    cmd_bytes bytes = read_payload(file, command, size, payload);
    if (bytes == nullptr) return bytes;
    *length = static_cast<uint32_t>(payload);
    *kind = cur_ops == &fcimg_ops ? image_kind::factory
            : mp_is_not_oem_config(file.get()) == 0 ? image_kind::oem_configuration
                                                    : image_kind::ordinary;
    return bytes;
}

// program and flashverify: the payload behind an optional header goes to the slot.
// `step` names the work in the progress events.
template <auto Slot>
int32_t image_command(int32_t argc, char** argv, const char* usage, const char* step) {
    int32_t result = 0;
    const auto op = cmd_open_slot<Slot>(cmd_at_least(usage, 3), argc, &result);
    if (op == nullptr) return result;
    uint32_t addr = cmd_hex(argv[2]);
    uint32_t length = 0;
    image_kind kind = image_kind::ordinary;
    cmd_bytes bytes = load_image(argv[0], argv[1], &length, &kind, &result);
    if (bytes == nullptr) return result;
    if (!cmd_range_fits(argv[0], addr, length)) return CMD_RANGE_REFUSED;
    record_image(argv[1], addr, bytes.get(), length, kind);
    progress_begin(step, &addr, length);
    result = op(addr, length, bytes.get());
    progress_end(result == 0);
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

// Writes a dump beside its file and renames it over the file only when it
// is whole: a disk that fills up part way leaves the old file as it was.
int32_t save_whole(const char* path, const uint8_t* bytes, uint32_t size) {
    char part[SAVE_PART_BYTES];
    const int n = std::snprintf(part, sizeof part, SAVE_PART_FORMAT, path, static_cast<unsigned>(plat_process_id()));
    FILE* f = n > 0 && static_cast<size_t>(n) < sizeof part ? std::fopen(part, "wb") : nullptr;
    if (f == nullptr) {
        con_err(MSG_OPEN_FAILS, path);
        return SAVE_FAILURE;
    }
    bool written = std::fwrite(bytes, 1, size, f) == size;
    if (std::fclose(f) != 0) written = false;
    if (written && plat_replace_file(part, path) == 0) return 0;
    std::remove(part);
    con_err(MSG_WRITE_FAILS, path);
    return SAVE_FAILURE;
}

}  // namespace

int32_t do_pageerase(int32_t argc, char** argv) {
    return flash_erase_command<&flash_ops::page_erase>(argc, argv, USAGE_PAGEERASE);
}

int32_t do_be64(int32_t argc, char** argv) {
    return flash_erase_command<&flash_ops::block64_erase>(argc, argv, USAGE_BE64);
}

int32_t do_chiperase(int32_t argc, char** argv) {
    (void)argv;
    return cmd_run_slot<&flash_ops::chip_erase>(cmd_exactly(USAGE_CHIPERASE, 1), argc);
}

int32_t do_program(int32_t argc, char** argv) {
    return image_command<&flash_ops::program>(argc, argv, USAGE_PROGRAM, "program");
}

int32_t do_flashverify(int32_t argc, char** argv) {
    return image_command<&flash_ops::verify>(argc, argv, USAGE_FLASHVERIFY, "verify");
}

int32_t do_flashread(int32_t argc, char** argv) {
    return flash_read_command<&flash_ops::read>(argc, argv, USAGE_FLASHREAD);
}

int32_t do_savebin(int32_t argc, char** argv) {
    int32_t result = 0;
    const flash_read_op read = cmd_open_slot<&flash_ops::read>(cmd_exactly(USAGE_SAVEBIN, 4), argc, &result);
    if (read == nullptr) return result;
    uint32_t addr = cmd_hex(argv[2]);
    uint32_t size = cmd_hex(argv[3]);
    if (!cmd_range_fits(argv[0], addr, size)) return CMD_RANGE_REFUSED;
    if (!cmd_output_path_usable(argv[0], argv[1])) return SAVE_FAILURE;
    cmd_bytes buf = flash_read_into(read, argv[0], addr, size, &result);
    if (buf == nullptr) return result;
    return save_whole(argv[1], buf.get(), size);
}

int32_t do_modify(int32_t argc, char** argv) {
    int32_t result = 0;
    // All three before anything is read: a page is never left erased for
    // want of a program operation.
    const auto read = cmd_open_slot<&flash_ops::read>(cmd_exactly(USAGE_MODIFY, 3), argc, &result);
    if (read == nullptr) return result;
    const auto page_erase = ops_get<&flash_ops::page_erase>();
    if (page_erase == nullptr) return OPS_UNAVAILABLE;
    const auto program = ops_get<&flash_ops::program>();
    if (program == nullptr) return OPS_UNAVAILABLE;
    uint32_t addr = cmd_hex(argv[1]);
    uint32_t page = addr & ~PAGE_MASK;
    uint32_t offset = addr & PAGE_MASK;
    uint8_t values[MODIFY_MAX_BYTES] = {};
    uint32_t n = 0;
    result = parse_new_bytes(argv[2], values, &n);
    if (result != 0) return result;
    if (offset + n > PAGE_BYTES) {
        con_err(MSG_PAST_PAGE, n, addr, page);
        return BAD_NEW_BYTES;
    }
    // One page on the stack: no allocation can fail between read and program.
    uint8_t buf[PAGE_BYTES];
    result = read(page, PAGE_BYTES, buf);
    if (result != 0) {
        con_err(MSG_PAGE_READ_FAILS, page);
        return result;
    }
    std::memcpy(buf + offset, values, n);
    result = page_erase(page, PAGE_BYTES);
    if (result != 0) {
        con_err(MSG_PAGE_ERASE_FAILS, page);
        return result;
    }
    result = program(page, PAGE_BYTES, buf);
    if (result != 0) {
        con_err(MSG_PAGE_PROGRAM_FAILS, page);
        return result;
    }
    return 0;
}

int32_t do_flashid(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    const auto flash_id = ops_get<&flash_ops::flash_id>();
    if (flash_id == nullptr) return OPS_UNAVAILABLE;
    std::printf(MSG_RDID, flash_id());
    return 0;
}
