// loadfw / loadfirmware: puts the module into the state in which the flash
// commands work. Depending on the program mode it marks the loader as running,
// prepares the flash for HCI-mode programming, or downloads a firmware loader
// into the module's RAM and starts it with the chip's own trigger.
#include <cstdio>
#include <cstring>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/connection.h"
#include "common/le.h"
#include "common/timing.h"
#include "image/mp_header.h"
#include "link/flash_ops.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "protocol/hci.h"
#include "record/failure.h"
#include "record/progress.h"
#include "record/run_record.h"

namespace {

const char* const MSG_ALREADY_LOADED = "FW has been loaded.\n";
const char* const MSG_DETECT_FAIL = "Detect FW Fail\n";
const char* const MSG_WRONG_PARAMS = "wrong number of parameters\n";
const char* const MSG_FW_LOADER = "FW Loader: %s\n";
const char* const MSG_DOWNLOAD_OK = "Download FW success, prepare to trigger\n";
const char* const MSG_RAW_TRIGGER = "send write command to trigger!\n";
const char* const MSG_PATH_TOO_LONG =
    "loadfw: the loader path %s%c%s is longer than %u characters, refused\n";
const char* const MSG_IMAGE_PATH_TOO_LONG =
    "loadfw: the image path %s is longer than %u characters, refused\n";
const char* const MSG_BAD_IMAGE_SIZE =
    "loadfw: %s holds %lld bytes; a loader image must be non-empty, a multiple of 4 bytes and "
    "at most %u bytes, nothing was downloaded\n";
const char* const MSG_READ_FAILS = "loadfw: reading %s failed, nothing was downloaded\n";
const char* const MSG_DOWNLOAD_FAILED =
    "loadfw: the loader download failed (%d), the loader was not started\n";

const char* const AUTODETECT = "--autodetect";
const char* const DEFAULT_FW_DIR = "fw";

constexpr uint32_t PATH_BYTES = 256;
constexpr uint32_t SIGNATURE_ADDR = 0x19000;
constexpr uint32_t REG_WRITES_MAX = 8;
constexpr uint16_t CHIP_4420 = 0x4420;
// No loader or factory image is larger than a module's internal flash: a
// larger file is refused by its size, before anything of it is read.
constexpr uint32_t LOADER_IMAGE_MAX_BYTES = 0x100000;

// The raw trigger of the RAM patch mode: a loader chunk with the start
// marker, then one further byte.
const uint8_t RAW_TRIGGER[] = {0x01, 0x20, 0xFC, 0x01, 0x80, 0xAA};

// Results.
constexpr int32_t LOADFW_USAGE = -1;
constexpr int32_t LOADFW_NOT_CONNECTED = -2;
constexpr int32_t LOADFW_SIGNATURE_READ = -3;
constexpr int32_t LOADFW_SIGNATURE_UNKNOWN = -4;
constexpr int32_t LOADFW_NO_RECORD = -5;
constexpr int32_t LOADFW_CUT_FORM_COUNT = -6;
constexpr int32_t LOADFW_CUT_UNKNOWN = -7;
constexpr int32_t LOADFW_IMAGE_OPEN = -8;
constexpr int32_t LOADFW_IMAGE_SIZE = -9;
constexpr int32_t LOADFW_DOWNLOAD = -10;
constexpr int32_t LOADFW_TRIGGER = -11;

struct reg_write {
    uint32_t addr;
    uint32_t value;
    uint32_t flag;  // 1: send without waiting for the event
};

struct loader_record {
    uint32_t mode;  // program mode served, and the kind of trigger
    const char* file_name;
    uint16_t chip_id;
    uint8_t cut;
    reg_write writes[REG_WRITES_MAX];  // ends at the first address 0
};

const loader_record loader_table[] = {
    {1, "KVL441A_FW.bin", 0x8E64, 1,
     {{0x20000330, 0x20083801, 0}, {0xE000E100, 0x00000010, 0}, {0xE000E200, 0x00000010, 1}}},
    {1, "KVL4410C_FW_A.bin", 0x4410, 0, {{0x00201228, 0x00203601, 0}}},
    {1, "KVL4410C_FW_B.bin", 0x4410, 1, {{0x00201234, 0x00203831, 0}}},
    {1, "KVL4420B_FW_V1.bin", 0x4420, 1, {{0x10001FB8, 0x10080C01, 1}}},
    {1, "KVL4420B_FW_V2.bin", 0x4420, 3, {{0x1000225C, 0x10080C01, 0}}},
    {3, "KVL4420B_FW_V3.bin", 0x4420, 4, {{0x1000228C, 0x10080C01, 0}}},
    {1, "KVL4420B_FW_V3.bin", 0x4420, 4, {{0x1000228C, 0x10080C01, 0}}},
    {2, "boot_patch.bin", 0x4420, 4, {{0x1000228C, 0x10080C01, 0}}},
    {0, "End", 0, 0, {}},
};

// Cut names select the loader record of the same index.
const char* const cut_names[] = {
    "KVL4410A",    "KVL4410C_A",  "KVL4410C_B",     "KVL4420B_V1",
    "KVL4420B_V2", "KVL4420B_V3", "KVL4420B_V3_SE",
};

struct chip_signature {
    uint32_t word;  // held by the module at SIGNATURE_ADDR
    uint16_t chip_id;
    uint8_t cut;
};

const chip_signature chip_signature_table[] = {
    {0x2000EB01, 0x4410, 0}, {0x1E4031D8, 0x4410, 1}, {0x0256F8B5, 0x4420, 1},
    {0xFF93F7FF, 0x4420, 3}, {0x215DF640, 0x4420, 4},
};

const chip_signature* find_signature(uint32_t word) {
    for (const chip_signature& s : chip_signature_table)
        if (s.word == word) return &s;
    return nullptr;
}

const loader_record* find_record(uint16_t chip_id, uint8_t cut, uint32_t mode) {
    for (const loader_record& r : loader_table)
        if (r.chip_id == chip_id && r.cut == cut && r.mode == mode) return &r;
    return nullptr;
}

const loader_record* find_cut(const char* name) {
    for (size_t i = 0; i < sizeof cut_names / sizeof cut_names[0]; ++i)
        if (std::strcmp(cut_names[i], name) == 0) return &loader_table[i];
    return nullptr;
}

// Both forms take three or four words; the usage result is the command's own.
const cmd_form LOADFW_FORM = {USAGE_LOADFW, 3, 4, false, LOADFW_USAGE};

// Autodetect form: the chip's signature word picks the record; the image is
// DIR/file_name. 0, or the result to return.
int32_t detect_loader(int32_t argc, char** argv, const loader_record** record, char* path,
                      uint32_t* signature) {
    uint8_t sig[4] = {};
    if (hci_read(SIGNATURE_ADDR, sizeof sig, sig) != 0) {
        con_err("%s", MSG_DETECT_FAIL);
        failure_note(failure_class::link);
        return LOADFW_SIGNATURE_READ;
    }
    const chip_signature* chip = find_signature(le32_get(sig));
    if (chip == nullptr) {
        con_err("%s", MSG_DETECT_FAIL);
        failure_note(failure_class::module);
        return LOADFW_SIGNATURE_UNKNOWN;
    }
    *signature = chip->word;
    *record = find_record(chip->chip_id, chip->cut, cmd_dec(argv[argc - 1]));
    if (*record == nullptr) {
        failure_note(failure_class::module);  // no loader serves this chip in this mode
        return LOADFW_NO_RECORD;
    }
    const char* dir = argc == 4 ? argv[2] : DEFAULT_FW_DIR;
    std::printf(MSG_FW_LOADER, (*record)->file_name);
    char sep[2] = {plat_path_separator(), '\0'};
    int n = std::snprintf(path, PATH_BYTES, "%s%s%s", dir, sep, (*record)->file_name);
    if (n < 0 || static_cast<uint32_t>(n) >= PATH_BYTES) {
        con_err(MSG_PATH_TOO_LONG, dir, sep[0], (*record)->file_name, PATH_BYTES - 1);
        failure_note(failure_class::input);
        return LOADFW_IMAGE_OPEN;
    }
    return 0;
}

// Named-cut form: the cut name picks the record; the image is the first word.
int32_t named_loader(int32_t argc, char** argv, const loader_record** record, char* path) {
    if (argc != 4) {
        con_err("%s", MSG_WRONG_PARAMS);
        failure_note(failure_class::usage);
        cmd_usage(USAGE_LOADFW);
        return LOADFW_CUT_FORM_COUNT;
    }
    *record = find_cut(argv[2]);
    if (*record == nullptr) {
        failure_note(failure_class::usage);
        return LOADFW_CUT_UNKNOWN;
    }
    std::printf(MSG_FW_LOADER, (*record)->file_name);
    if (std::strlen(argv[1]) >= PATH_BYTES) {
        con_err(MSG_IMAGE_PATH_TOO_LONG, argv[1], PATH_BYTES - 1);
        failure_note(failure_class::input);
        return LOADFW_IMAGE_OPEN;
    }
    std::strcpy(path, argv[1]);
    return 0;
}

// Reads the image and hands it to the download operation.
int32_t download_image(const char* command, const char* path, const uint32_t* signature,
                       int32_t (*download)(uint32_t size, const uint8_t* image)) {
    cmd_bytes image = cmd_no_bytes();
    int64_t size = 0;
    {
        cmd_file file(path);
        if (!file.is_open()) {
            file.report_not_open();
            return LOADFW_IMAGE_OPEN;
        }
        size = mp_file_size(file.get());
        std::printf(MSG_FILE_SIZE, static_cast<long long>(size));
        // An empty image, or one that is no whole number of words, is no
        // loader: starting the module on it would report a module as ready
        // that is not.
        if (size <= 0 || size % 4 != 0 || size > static_cast<int64_t>(LOADER_IMAGE_MAX_BYTES)) {
            con_err(MSG_BAD_IMAGE_SIZE, path, static_cast<long long>(size), LOADER_IMAGE_MAX_BYTES);
            failure_note(failure_class::input);
            return LOADFW_IMAGE_SIZE;
        }
        image = file.read(command, 0, static_cast<uint32_t>(size), MSG_READ_FAILS);
        if (image == nullptr) return LOADFW_IMAGE_OPEN;
    }
    record_loader(path, static_cast<uint64_t>(size), image.get(), signature);
    progress_begin("loader", nullptr, static_cast<uint64_t>(size));
    int32_t result = download(static_cast<uint32_t>(size), image.get());
    progress_end(result == 0);
    if (result != 0) {
        con_err(MSG_DOWNLOAD_FAILED, result);
        return LOADFW_DOWNLOAD;
    }
    return 0;
}

// The register writes that start the loader. A write that waits for its
// event and gets a failure leaves the loader not started: the trigger fails
// (the write reported it). Writes sent without waiting cannot be checked.
int32_t vendor_write_trigger(const loader_record& record) {
    bool always_wait = record.chip_id == CHIP_4420 && record.cut == 1;
    for (const reg_write& w : record.writes) {
        if (w.addr == 0) break;
        if (w.flag == 0 || always_wait) {
            if (hci_vendor_write(w.addr, w.value) != 0) return LOADFW_TRIGGER;
        } else {
            hci_vendor_write_nowait(w.addr, w.value);
        }
        msleep(LOADFW_REG_WRITE_WAIT_MS);
    }
    return 0;
}

// Starts the downloaded loader the way the record's program mode does.
int32_t trigger(const loader_record& record, uint32_t mode) {
    int32_t result = 0;
    if (mode == RAM_PATCH_MODE) {
        std::printf("%s", MSG_RAW_TRIGGER);
        link_purge();
        link_write(RAW_TRIGGER, sizeof RAW_TRIGGER);
        msleep(LOADFW_RAW_TRIGGER_WAIT_MS);
    } else if (mode == FACTORY_IMAGE_MODE) {
        hci_wdg_reset(0);
    } else if (mode == RAM_PATCH_VENDOR_WRITE_MODE) {
        result = vendor_write_trigger(record);
    }
    msleep(LOADFW_TRIGGER_SETTLE_MS);
    link_purge();
    return result;
}

}  // namespace

int32_t do_loadfw(int32_t argc, char** argv) {
    char path[PATH_BYTES] = {};
    const int32_t opening = cmd_opening(LOADFW_FORM, argc);
    if (opening != 0) return opening;
    const char* mode_text = argv[argc - 1];
    // On a serial link the program mode decides the table: the loader, the
    // factory image or HCI-mode programming. USB and SWD keep their own.
    if (ops_is_serial_table(cur_ops)) cur_ops = ops_for_program_mode(cmd_dec(mode_text));

    if (std::strcmp(mode_text, "0") == 0) {
        int32_t result = ops_call<&flash_ops::download_fw>(0u, static_cast<const uint8_t*>(nullptr));
        connection_state = 2;
        return result;
    }
    if (std::strcmp(mode_text, "1") != 0 && std::strcmp(mode_text, "3") != 0) {
        connection_state = 2;
        return 0;
    }
    if (connection_state == 2) {
        con_err("%s", MSG_ALREADY_LOADED);
        return 0;
    }
    if (connection_state == 0) {
        con_err("%s", MSG_NOT_CONNECTED);
        return LOADFW_NOT_CONNECTED;
    }
    const auto download = ops_get<&flash_ops::download_fw>();
    if (download == nullptr) return OPS_UNAVAILABLE;

    const loader_record* record = nullptr;
    uint32_t signature = 0;
    const bool detect = std::strcmp(argv[1], AUTODETECT) == 0;
    int32_t result = detect ? detect_loader(argc, argv, &record, path, &signature)
                            : named_loader(argc, argv, &record, path);
    if (result != 0) return result;
    result = download_image(argv[0], path, detect ? &signature : nullptr, download);
    if (result != 0) return result;
    std::printf("%s", MSG_DOWNLOAD_OK);
    // Over SWD the download itself started the loader; the triggers are
    // serial-link commands.
    if (cur_ops != &swd_ops) {
        result = trigger(*record, record->mode);
        if (result != 0) return result;
    }
    connection_state = 2;
    return 0;
}
