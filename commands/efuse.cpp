// efuseburn, read_efuse, dbgpasswd, reboot and gdmabeg.
#include "commands/efuse.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "commands/byte_list.h"
#include "commands/cmd_util.h"
#include "commands/connection.h"
#include "commands/flash_shared.h"
#include "image/mp_header.h"
#include "protocol/hci.h"
#include "protocol/loader.h"
#include "shell/console.h"

namespace {

const char* const MSG_PASSWORD_ERROR = "convert password error!\n";
const char* const MSG_EFUSE_TOO_LARGE =
    "efuseburn: %s holds %lld bytes; one eFuse burn request carries at most %u, nothing was sent\n";
const char* const MSG_NOT_MODE_FIELD =
    "read_efuse: '%s' does not name the program mode field of a one-shot run; nothing was detected "
    "or stored\n";

constexpr int32_t EFUSE_FILE_FAILURE = 3;  // cannot open, read or hold the file
constexpr int32_t PASSWORD_BAD_TEXT = 2;
constexpr int32_t PASSWORD_NOT_SENT = 3;
constexpr int32_t DETECT_FAILED = -1;
constexpr uint8_t REBOOT_MODE = 3;
constexpr uint32_t PASSWORD_BYTES = 16;
constexpr int ADDRESS_DIGITS = 2 * sizeof(uintptr_t);

// The loader's eFuse request: marker, code, length, the bytes, CRC.
constexpr uint32_t EFUSE_REQUEST_OVERHEAD = 1 + 2 + 4 + 2;
constexpr uint32_t EFUSE_MAX_BYTES = FRAME_BUFFER_SIZE - EFUSE_REQUEST_OVERHEAD;

// The program mode field of the running one-shot job, and its name.
uint32_t* registered_mode_field = nullptr;
char registered_mode_text[ADDRESS_DIGITS + 1] = "";

// The registered field when `text` is its address in hex ("0x" optional),
// else null. Nothing but the registered pointer is ever returned.
uint32_t* named_mode_field(const char* text) {
    if (registered_mode_field == nullptr) return nullptr;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    const size_t n = std::strlen(p);
    if (n == 0 || n > static_cast<size_t>(ADDRESS_DIGITS)) return nullptr;
    uintptr_t value = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = cmd_hex_digit(p[i]);
        if (d < 0) return nullptr;
        value = value * 16 + static_cast<uintptr_t>(d);
    }
    return value == reinterpret_cast<uintptr_t>(registered_mode_field) ? registered_mode_field : nullptr;
}

}  // namespace

const char* efuse_register_mode_field(uint32_t* field) {
    registered_mode_field = field;
    if (field == nullptr) {
        registered_mode_text[0] = '\0';
    } else {
        std::snprintf(registered_mode_text, sizeof registered_mode_text, "%0*" PRIXPTR, ADDRESS_DIGITS,
                      reinterpret_cast<uintptr_t>(field));
    }
    return registered_mode_text;
}

int32_t do_efuseburn(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc < 2) return flash_usage(argv);
    FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        con_err(MSG_OPEN_FAILS, argv[1]);
        return EFUSE_FILE_FAILURE;
    }
    const int64_t size = mp_file_size(f);
    if (size > EFUSE_MAX_BYTES) {
        std::fclose(f);
        con_err(MSG_EFUSE_TOO_LARGE, argv[1], static_cast<long long>(size), EFUSE_MAX_BYTES);
        return EFUSE_FILE_FAILURE;
    }
    std::printf(MSG_FILE_SIZE, static_cast<int>(size));
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    bool read = bytes != nullptr && std::fread(bytes.get(), 1, static_cast<size_t>(size), f) == static_cast<size_t>(size);
    std::fclose(f);
    if (!read) {
        if (bytes != nullptr) con_err(MSG_IMAGE_READ_FAILS, argv[1]);
        return EFUSE_FILE_FAILURE;
    }
    return CALL_OP(efuse_burn, bytes.get(), static_cast<uint32_t>(size));
}

int32_t do_read_efuse(int32_t argc, char** argv) {
    if (argc < 2) return flash_usage(argv);
    uint32_t* field = named_mode_field(argv[1]);
    if (field == nullptr) {
        con_err(MSG_NOT_MODE_FIELD, argv[1]);
        return DETECT_FAILED;
    }
    if (hci_flash_prepare(0, nullptr) != 0) return DETECT_FAILED;
    uint32_t mode = 0;
    if (hci_detect_mode(&mode) != 0) return DETECT_FAILED;
    *field = mode;
    return 0;
}

int32_t do_dbgpasswd(int32_t argc, char** argv) {
    if (argc != 2) return flash_usage(argv);
    uint8_t password[PASSWORD_BYTES];
    const char* end = nullptr;
    // Pieces behind the sixteenth are not looked at.
    if (cmd_byte_list(argv[1], password, PASSWORD_BYTES, &end) != PASSWORD_BYTES || (*end != '\0' && *end != ':')) {
        con_err("%s", MSG_PASSWORD_ERROR);
        return PASSWORD_BAD_TEXT;
    }
    return hci_send_debug_password(password) != 0 ? PASSWORD_NOT_SENT : 0;
}

int32_t do_reboot(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    // A failed reboot request is reported by the operation itself; the
    // command's result stays 0, as the production script expects.
    CALL_OP(reboot, REBOOT_MODE);
    return 0;
}

int32_t do_gdmabeg(int32_t argc, char** argv) {
    int32_t guard = connection_guard();
    if (guard != 0) return guard;
    if (argc != 1) return flash_usage(argv);
    return CALL_OP(gdma_begin, argc, argv);
}
