// addmac and configmerge: read the OEM configuration region back, merge new
// entries into its block, then erase, program and verify the region.
// Everything that can be refused is refused before the erase, so a refusal
// leaves the flash as it was.
#include <cstdio>
#include <cstring>

#include "commands/cmd_util.h"
#include "commands/commands.h"
#include "commands/oem_config.h"
#include "common/le.h"
#include "image/mp_header.h"
#include "link/flash_ops.h"
#include "platform/console.h"
#include "protocol/loader.h"

namespace {

const char* const MSG_ADDR_NO_0X = "address must start with 0x\n";
const char* const MSG_BT_ADDR_ERROR = "convert BT address error!\n";
const char* const MSG_ADD_MAC = "Add mac address: %s\n";
const char* const MSG_ADDING_BT = "Adding BT address for oem config!\n";

const char* const MSG_ERASE_ERROR = "do_config_merge: erase error\n";
const char* const MSG_PROGRAM_ERROR = "do_config_merge: program error\n";
const char* const MSG_VERIFY_ERROR = "do_config_merge: flash_verify error\n";

const char* const MSG_ADDMAC_NO_MEMORY = "do_addmac: malloc fail\n";
const char* const MSG_ADDMAC_EMPTY = "do_addmac: oem-config region is empty\n";
const char* const MSG_ADDMAC_WRITE_BACK = "do_addmac: erase, program or verify error\n";
const char* const MSG_ADDMAC_READ = "do_addmac: reading the oem-config region fails, nothing was written\n";

const char* const MSG_MERGE_NO_MEMORY = "do_config_merge: malloc fail\n";
const char* const MSG_MERGE_READ_IMAGE = "do_config_merge: read image fail\n";
const char* const MSG_MERGE_IMAGE_TOO_LARGE =
    "do_config_merge: %s holds %lld bytes of image; at most %u fit the image buffer, nothing was written\n";
const char* const MSG_MERGE_APPEND_BT = "do_config_merge: append bt address fail\n";
const char* const MSG_MERGE_APPEND_NO_PLACE =
    "do_config_merge: the image's block size at offset 8 does not end its entries inside the image, "
    "or no room is left for the address\n";
const char* const MSG_MERGE_LENGTH = "do_config_merge: config payload length error\n";
const char* const MSG_MERGE_BLOCK_BEYOND =
    "do_config_merge: the image's configuration block (entries length %u at 0x%X) runs past the end of its "
    "%u bytes\n";
const char* const MSG_MERGE_WRITE_BACK = "do_config_merge: erase, program or verify error\n";
const char* const MSG_MERGE_READ_FAILS = "configmerge: reading %s failed\n";
const char* const MSG_MERGE_READ =
    "do_config_merge: reading the oem-config region fails, nothing was written\n";

// Refusals of a stored block that both commands share, behind their prefix.
const char* const MSG_STORED_TOO_LONG =
    "%s: the stored entries length %u exceeds the capacity of %u bytes, nothing was written\n";
const char* const MSG_STORED_MALFORMED =
    "%s: the stored entries do not add up to their length %u, nothing was written\n";
const char* const MSG_MERGE_TOO_SHORT =
    "%s: an entries length below 3 cannot be merged, nothing was written\n";
const char* const MSG_MERGE_EMPTY_ENTRY = "%s: an entry of length 0 cannot be merged, nothing was written\n";
const char* const MSG_MERGE_NO_ROOM =
    "%s: the merged entries would reach the capacity of %u bytes, nothing was written\n";
const char* const MSG_MERGE_MALFORMED = "%s: the new entries do not add up to their length, nothing was written\n";

const char* const ADDMAC = "do_addmac";
const char* const CONFIG_MERGE = "do_config_merge";

const char* const HEX_PREFIX = "0x";
constexpr size_t HEX_PREFIX_CHARS = 2;

// Results.
constexpr int32_t ADDMAC_FAILED = -1;
constexpr int32_t MERGE_USAGE = -2;
constexpr int32_t MERGE_NO_MEMORY = -1;
constexpr int32_t MERGE_READ_IMAGE = -2;
constexpr int32_t MERGE_APPEND_BT = -3;
constexpr int32_t MERGE_LENGTH = -4;
constexpr int32_t MERGE_WRITE_BACK = -5;
constexpr int32_t MERGE_READ_REGION = -6;
constexpr int32_t MERGE_REFUSED = -7;

constexpr int32_t WRITE_BACK_ERASE = -1;
constexpr int32_t WRITE_BACK_PROGRAM = -2;
constexpr int32_t WRITE_BACK_VERIFY = -3;

constexpr uint32_t REGION_COPY_BYTES = 8192;
constexpr uint32_t LENGTH_FIELD_BYTES = 2;
// Copy offsets that a merge sets to 0xFF, 16 bytes each.
constexpr uint32_t MERGE_CLEARED_AT[] = {0xEE0, 0xFF0};
constexpr uint32_t MERGE_CLEARED_BYTES = 16;
constexpr uint8_t ERASED = 0xFF;

// The four operations a merge uses, all taken from the table in force before
// anything is read: a region is never left erased for want of one of them.
struct region_ops {
    int32_t (*read)(uint32_t addr, uint32_t len, uint8_t* dest);
    int32_t (*page_erase)(uint32_t addr, uint32_t size);
    int32_t (*program)(uint32_t addr, uint32_t len, const uint8_t* bytes);
    int32_t (*verify)(uint32_t addr, uint32_t len, const uint8_t* bytes);
    bool present() const { return read && page_erase && program && verify; }
};

// The operations, or a result with none set after the first empty slot is reported.
region_ops get_region_ops() {
    region_ops ops{};
    if ((ops.read = ops_get<&flash_ops::read>()) == nullptr) return ops;
    if ((ops.page_erase = ops_get<&flash_ops::page_erase>()) == nullptr) return ops;
    if ((ops.program = ops_get<&flash_ops::program>()) == nullptr) return ops;
    ops.verify = ops_get<&flash_ops::verify>();
    return ops;
}

// Erases the region and writes `length` bytes of the copy back; 0, or -1, -2,
// -3 for the erase, program or verify step after its message.
int32_t write_back(const region_ops& ops, const uint8_t* copy, uint32_t addr, uint32_t length,
                   uint32_t erase_size) {
    crc16_of_buffer(copy, length);
    if (ops.page_erase(addr, erase_size) != 0) {
        std::printf("%s", MSG_ERASE_ERROR);
        return WRITE_BACK_ERASE;
    }
    if (ops.program(addr, length, copy) != 0) {
        std::printf("%s", MSG_PROGRAM_ERROR);
        return WRITE_BACK_PROGRAM;
    }
    if (ops.verify(addr, length, copy) != 0) {
        std::printf("%s", MSG_VERIFY_ERROR);
        return WRITE_BACK_VERIFY;
    }
    return 0;
}

void report_merge_failure(const char* who, config_merge_result r, uint32_t capacity) {
    switch (r) {
    case config_merge_result::too_short: con_err(MSG_MERGE_TOO_SHORT, who); break;
    case config_merge_result::empty_entry: con_err(MSG_MERGE_EMPTY_ENTRY, who); break;
    case config_merge_result::no_room: con_err(MSG_MERGE_NO_ROOM, who, capacity); break;
    case config_merge_result::malformed: con_err(MSG_MERGE_MALFORMED, who); break;
    case config_merge_result::ok: break;
    }
}

enum class region_state { holds_block, empty, unreadable, refused };

// Reads the stored block of the region at `addr` into `copy` (from the region
// start to the end of its entries). A stored length of 0xFFFF is an empty
// region; one over the capacity, or entries that do not add up to it,
// are refused after a message.
region_state read_region(const region_ops& ops, const char* who, uint32_t addr, const config_layout& layout,
                         uint8_t* copy) {
    uint8_t field[LENGTH_FIELD_BYTES];
    if (ops.read(addr + layout.length_at(), LENGTH_FIELD_BYTES, field) != 0) return region_state::unreadable;
    const uint32_t length = le16_get(field);
    if (length == CONFIG_REGION_EMPTY) return region_state::empty;
    if (length > layout.capacity) {
        con_err(MSG_STORED_TOO_LONG, who, length, layout.capacity);
        return region_state::refused;
    }
    if (ops.read(addr, layout.write_length(length), copy) != 0) return region_state::unreadable;
    // The length is read again with the block, so the two cannot disagree.
    if (le16_get(copy + layout.length_at()) != length ||
        !config_entries_well_formed(copy + layout.entries_at(), length)) {
        con_err(MSG_STORED_MALFORMED, who, length);
        return region_state::refused;
    }
    return region_state::holds_block;
}

// Reads an OEM configuration image (its payload, behind the header when the
// file carries one) into `image`. 0, or MERGE_READ_IMAGE after a message.
int32_t read_image(const char* command, const char* name, uint8_t* image, uint32_t* size) {
    cmd_file file(name);
    if (!file.is_open()) {
        std::printf("%s", MSG_MERGE_READ_IMAGE);
        return MERGE_READ_IMAGE;
    }
    const int64_t whole = mp_file_size(file.get());
    const int64_t payload = mp_payload_length(file.get());
    if (payload > static_cast<int64_t>(CONFIG_IMAGE_BYTES)) {
        std::printf("%s", MSG_MERGE_READ_IMAGE);
        con_err(MSG_MERGE_IMAGE_TOO_LARGE, name, static_cast<long long>(payload), CONFIG_IMAGE_BYTES);
        return MERGE_READ_IMAGE;
    }
    cmd_bytes bytes = payload < 0 ? cmd_no_bytes()
                                  : file.read(command, whole != payload ? MP_HEADER_SIZE : 0,
                                              static_cast<uint32_t>(payload), MSG_MERGE_READ_FAILS);
    if (bytes == nullptr) {
        std::printf("%s", MSG_MERGE_READ_IMAGE);
        return MERGE_READ_IMAGE;
    }
    std::memcpy(image, bytes.get(), static_cast<size_t>(payload));
    *size = static_cast<uint32_t>(payload);
    return 0;
}

// Adds the Bluetooth address entry to a configuration image. 0, or
// MERGE_APPEND_BT after its messages.
int32_t add_image_address(const char* text, uint8_t* image, uint32_t* size) {
    std::printf("%s", MSG_ADDING_BT);
    uint8_t addr[BT_ADDR_BYTES];
    if (!config_parse_bt_address(text, addr)) {
        con_err("%s", MSG_BT_ADDR_ERROR);
        std::printf("%s", MSG_MERGE_APPEND_BT);
        return MERGE_APPEND_BT;
    }
    uint8_t entry[BT_ENTRY_BYTES];
    config_bt_entry(CONFIG_ID_IMAGE_BT_ADDR, addr, entry);
    if (!config_image_add_entry(image, size, entry)) {
        con_err("%s", MSG_MERGE_APPEND_NO_PLACE);
        std::printf("%s", MSG_MERGE_APPEND_BT);
        return MERGE_APPEND_BT;
    }
    return 0;
}

// The image check; 0, or MERGE_LENGTH after its message.
int32_t check_image(const uint8_t* image, uint32_t size) {
    const config_image_fault fault = config_image_check(image, size);
    if (fault == config_image_fault::none) return 0;
    std::printf("%s", MSG_MERGE_LENGTH);
    if (fault == config_image_fault::block_beyond)
        con_err(MSG_MERGE_BLOCK_BEYOND, le16_get(image + CONFIG_LAYOUT_MERGE.length_at()),
                CONFIG_LAYOUT_MERGE.length_at(), size);
    return MERGE_LENGTH;
}

}  // namespace

int32_t do_addmac(int32_t argc, char** argv) {
    const int32_t r = cmd_opening(cmd_exactly(USAGE_ADDMAC, 3), argc);
    if (r != 0) return r;
    const config_layout& layout = CONFIG_LAYOUT_ADDMAC;
    if (std::strncmp(argv[2], HEX_PREFIX, HEX_PREFIX_CHARS) != 0) {
        con_err("%s", MSG_ADDR_NO_0X);
        return ADDMAC_FAILED;
    }
    const uint32_t addr = cmd_hex(argv[2] + HEX_PREFIX_CHARS);
    if (!cmd_range_fits(argv[0], addr, layout.erase_size)) return ADDMAC_FAILED;
    uint8_t mac[BT_ADDR_BYTES];
    if (!config_parse_bt_address(argv[1], mac)) {
        con_err("%s", MSG_BT_ADDR_ERROR);
        return ADDMAC_FAILED;
    }
    uint8_t entry[BT_ENTRY_BYTES];
    config_bt_entry(CONFIG_ID_BT_ADDR, mac, entry);
    const region_ops ops = get_region_ops();
    if (!ops.present()) return ADDMAC_FAILED;
    cmd_bytes copy = cmd_buffer(argv[0], REGION_COPY_BYTES);
    if (copy == nullptr) {
        std::printf("%s", MSG_ADDMAC_NO_MEMORY);
        return ADDMAC_FAILED;
    }
    switch (read_region(ops, ADDMAC, addr, layout, copy.get())) {
    case region_state::holds_block: break;
    case region_state::empty: std::printf("%s", MSG_ADDMAC_EMPTY); return ADDMAC_FAILED;
    case region_state::unreadable: con_err("%s", MSG_ADDMAC_READ); return ADDMAC_FAILED;
    case region_state::refused: return ADDMAC_FAILED;
    }
    uint32_t length = 0;
    const config_merge_result merged = config_region_merge(copy.get(), layout, entry, BT_ENTRY_BYTES, &length);
    if (merged != config_merge_result::ok) {
        report_merge_failure(ADDMAC, merged, layout.capacity);
        return ADDMAC_FAILED;
    }
    std::printf(MSG_ADD_MAC, argv[1]);
    if (write_back(ops, copy.get(), addr, length, layout.erase_size) != 0) {
        std::printf("%s", MSG_ADDMAC_WRITE_BACK);
        return ADDMAC_FAILED;
    }
    return 0;
}

int32_t do_config_merge(int32_t argc, char** argv) {
    const cmd_form form = {USAGE_CONFIGMERGE, 3, 4, true, MERGE_USAGE};
    int32_t result = cmd_opening(form, argc);
    if (result != 0) return result;
    const config_layout& layout = CONFIG_LAYOUT_MERGE;
    const uint32_t addr = cmd_hex(argv[2]);
    if (!cmd_range_fits(argv[0], addr, layout.erase_size)) return MERGE_REFUSED;
    cmd_bytes copy = cmd_buffer(argv[0], REGION_COPY_BYTES);
    cmd_bytes image = copy != nullptr ? cmd_buffer(argv[0], CONFIG_IMAGE_BYTES) : cmd_no_bytes();
    if (copy == nullptr || image == nullptr) {
        std::printf("%s", MSG_MERGE_NO_MEMORY);
        return MERGE_NO_MEMORY;
    }
    uint32_t size = 0;
    result = read_image(argv[0], argv[1], image.get(), &size);
    if (result == 0 && argc == 4 && config_image_id(image.get(), size) == IMAGE_ID_OEM_CONFIG)
        result = add_image_address(argv[3], image.get(), &size);
    if (result == 0) result = check_image(image.get(), size);
    if (result != 0) return result;
    const region_ops ops = get_region_ops();
    if (!ops.present()) return MERGE_REFUSED;

    const uint8_t* out = copy.get();
    uint32_t length = 0;
    switch (read_region(ops, CONFIG_MERGE, addr, layout, copy.get())) {
    case region_state::empty:
        // An erased region takes the image as it is.
        out = image.get();
        length = layout.write_length(le16_get(image.get() + layout.length_at()));
        break;
    case region_state::holds_block: {
        for (uint32_t at : MERGE_CLEARED_AT) std::memset(copy.get() + at, ERASED, MERGE_CLEARED_BYTES);
        const config_merge_result merged =
            config_region_merge(copy.get(), layout, image.get() + layout.entries_at(),
                                le16_get(image.get() + layout.length_at()), &length);
        if (merged != config_merge_result::ok) {
            report_merge_failure(CONFIG_MERGE, merged, layout.capacity);
            return MERGE_REFUSED;
        }
        break;
    }
    case region_state::unreadable: con_err("%s", MSG_MERGE_READ); return MERGE_READ_REGION;
    case region_state::refused: return MERGE_REFUSED;
    }
    if (write_back(ops, out, addr, length, layout.erase_size) != 0) {
        std::printf("%s", MSG_MERGE_WRITE_BACK);
        return MERGE_WRITE_BACK;
    }
    return 0;
}
