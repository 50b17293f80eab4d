// efuseburn, read_efuse, dbgpasswd, reboot and gdmabeg: the commands that act
// on the module as a whole, and the program mode field read_efuse fills.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "commands/byte_list.h"
#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "image/mp_header.h"
#include "link/flash_ops.h"
#include "platform/console.h"
#include "protocol/hci.h"
#include "protocol/loader.h"
#include "record/failure.h"

namespace {

const char* const MSG_PASSWORD_ERROR = "convert password error!\n";
const char* const MSG_EFUSE_TOO_LARGE =
    "efuseburn: %s holds %lld bytes; one eFuse burn request carries at most %u, nothing was sent\n";
const char* const MSG_EFUSE_READ_FAILS = "efuseburn: reading %s failed, nothing was sent\n";
const char* const MSG_NOT_MODE_FIELD =
    "read_efuse: '%s' does not name the program mode field of a one-shot run; nothing was detected "
    "or stored\n";

constexpr int32_t EFUSE_FILE_FAILURE = 3;  // cannot open, read or hold the file
constexpr int32_t PASSWORD_BAD_TEXT = 2;
constexpr int32_t PASSWORD_NOT_SENT = 3;
constexpr int32_t DETECT_FAILED = -1;
constexpr uint8_t REBOOT_MODE = 3;
constexpr int ADDRESS_DIGITS = 2 * sizeof(uintptr_t);
constexpr char PIECE_SEPARATOR = ':';

// The program mode field of the running one-shot job, and the text that
// names it on a read_efuse line.
uint32_t* read_efuse_field = nullptr;
char read_efuse_field_text[ADDRESS_DIGITS + 1] = "";

// The registered field when `text` is its address in hex ("0x" optional,
// any case, leading zeros allowed), else null. Nothing but the registered
// pointer is ever returned, so no typed value is written through.
uint32_t* named_mode_field(const char* text) {
    if (read_efuse_field == nullptr) return nullptr;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    size_t n = std::strlen(p);
    if (n == 0) return nullptr;
    while (n > 1 && *p == '0') {  // leading zeros do not count against the width
        ++p;
        --n;
    }
    if (n > static_cast<size_t>(ADDRESS_DIGITS)) return nullptr;
    uintptr_t value = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = cmd_hex_digit(p[i]);
        if (d < 0) return nullptr;
        value = value * 16 + static_cast<uintptr_t>(d);
    }
    return value == reinterpret_cast<uintptr_t>(read_efuse_field) ? read_efuse_field : nullptr;
}

}  // namespace

const char* read_efuse_register_field(uint32_t* field) {
    read_efuse_field = field;
    if (field == nullptr) {
        read_efuse_field_text[0] = '\0';
    } else {
        std::snprintf(read_efuse_field_text, sizeof read_efuse_field_text, "%0*" PRIXPTR, ADDRESS_DIGITS,
                      reinterpret_cast<uintptr_t>(field));
    }
    return read_efuse_field_text;
}

int32_t do_efuseburn(int32_t argc, char** argv) {
    int32_t result = 0;
    const auto burn =
        cmd_open_slot<&flash_ops::efuse_burn>(cmd_at_least(USAGE_EFUSEBURN, 2), argc, &result);
    if (burn == nullptr) return result;
    cmd_file file(argv[1]);
    if (!file.is_open()) {
        file.report_not_open();
        return EFUSE_FILE_FAILURE;
    }
    // The file goes to the module unchanged, in one request: one that would
    // not fit the frame buffer is refused before anything is read or sent.
    const int64_t size = mp_file_size(file.get());
    if (size > static_cast<int64_t>(LOADER_EFUSE_MAX_BYTES)) {
        con_err(MSG_EFUSE_TOO_LARGE, argv[1], static_cast<long long>(size), LOADER_EFUSE_MAX_BYTES);
        failure_note(failure_class::input);
        return EFUSE_FILE_FAILURE;
    }
    std::printf(MSG_FILE_SIZE, static_cast<long long>(size));
    cmd_bytes bytes = file.read(argv[0], 0, static_cast<uint32_t>(size), MSG_EFUSE_READ_FAILS);
    if (bytes == nullptr) return EFUSE_FILE_FAILURE;
    return burn(bytes.get(), static_cast<uint32_t>(size));
}

int32_t do_read_efuse(int32_t argc, char** argv) {
    const cmd_form form = {USAGE_READ_EFUSE, 2, CMD_ANY_WORDS, false, CMD_USAGE_RESULT};
    const int32_t r = cmd_opening(form, argc);
    if (r != 0) return r;
    uint32_t* field = named_mode_field(argv[1]);
    if (field == nullptr) {
        con_err(MSG_NOT_MODE_FIELD, argv[1]);
        return DETECT_FAILED;
    }
    // Straight to the HCI commands: the module is probed before any table
    // for its mode is chosen.
    if (hci_flash_prepare(0, nullptr) != 0) return DETECT_FAILED;
    uint32_t mode = 0;
    if (hci_detect_mode(&mode) != 0) return DETECT_FAILED;
    *field = mode;
    return 0;
}

int32_t do_dbgpasswd(int32_t argc, char** argv) {
    const cmd_form form = {USAGE_DBGPASSWD, 2, 2, false, CMD_USAGE_RESULT};
    const int32_t r = cmd_opening(form, argc);
    if (r != 0) return r;
    uint8_t password[DEBUG_PASSWORD_BYTES];
    const char* end = nullptr;
    // Sixteen values; any behind the sixteenth are not looked at.
    if (cmd_byte_list(argv[1], password, DEBUG_PASSWORD_BYTES, &end) != DEBUG_PASSWORD_BYTES ||
        (*end != '\0' && *end != PIECE_SEPARATOR)) {
        con_err("%s", MSG_PASSWORD_ERROR);
        return PASSWORD_BAD_TEXT;
    }
    return hci_send_debug_password(password) != 0 ? PASSWORD_NOT_SENT : 0;
}

int32_t do_reboot(int32_t argc, char** argv) {
    (void)argv;
    const int32_t r = cmd_opening(cmd_at_least(USAGE_REBOOT, 1), argc);
    if (r != 0) return r;
    // A refused reboot is reported by the operation itself ("Reboot Error:
    // %d"); the command's result stays 0, as the production script expects.
    ops_call<&flash_ops::reboot>(REBOOT_MODE);
    return 0;
}

int32_t do_gdmabeg(int32_t argc, char** argv) {
    const int32_t r = cmd_opening(cmd_exactly(USAGE_GDMABEG, 1), argc);
    if (r != 0) return r;
    return ops_call<&flash_ops::gdma_begin>(argc, argv);
}
