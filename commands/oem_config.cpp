#include "commands/oem_config.h"

#include <cstring>

#include "commands/byte_list.h"
#include "common/le.h"

namespace {

constexpr uint8_t MASK_ALL = 0xFF;
// The image check walks on while this many bytes remain: the smallest entry
// that carries data (len 1).
constexpr uint32_t IMAGE_WALK_MIN = CONFIG_ENTRY_HEAD + 2;
constexpr uint32_t MERGE_MIN_LENGTH = CONFIG_ENTRY_HEAD;

uint16_t entry_id(const uint8_t* e) { return le16_get(e); }
uint8_t entry_len(const uint8_t* e) { return e[2]; }

// The old entry with the same id, len and mask as `e`, or null.
uint8_t* find_same_entry(uint8_t* entries, uint32_t length, const uint8_t* e) {
    const uint8_t len = entry_len(e);
    for (uint32_t at = 0; at + CONFIG_ENTRY_HEAD <= length;) {
        uint8_t* old = entries + at;
        const uint32_t size = config_entry_bytes(entry_len(old));
        if (at + size > length) return nullptr;
        if (entry_id(old) == entry_id(e) && entry_len(old) == len &&
            std::memcmp(old + CONFIG_ENTRY_HEAD + len, e + CONFIG_ENTRY_HEAD + len, len) == 0)
            return old;
        at += size;
    }
    return nullptr;
}

}  // namespace

bool config_parse_bt_address(const char* text, uint8_t addr[BT_ADDR_BYTES]) {
    const char* end = nullptr;
    return cmd_byte_list(text, addr, BT_ADDR_BYTES, &end) == BT_ADDR_BYTES && *end == '\0';
}

void config_bt_entry(uint16_t id, const uint8_t addr[BT_ADDR_BYTES], uint8_t entry[BT_ENTRY_BYTES]) {
    le16_put(entry, id);
    entry[2] = BT_ADDR_BYTES;
    for (uint32_t i = 0; i < BT_ADDR_BYTES; ++i) {
        entry[CONFIG_ENTRY_HEAD + i] = addr[BT_ADDR_BYTES - 1 - i];
        entry[CONFIG_ENTRY_HEAD + BT_ADDR_BYTES + i] = MASK_ALL;
    }
}

bool config_image_entries_valid(const uint8_t* entries, uint32_t length) {
    uint32_t at = 0;
    while (length - at >= IMAGE_WALK_MIN) {
        const uint32_t size = config_entry_bytes(entry_len(entries + at));
        if (size > length - at) break;
        at += size;
    }
    return at == length;
}

bool config_entries_well_formed(const uint8_t* entries, uint32_t length) {
    uint32_t at = 0;
    while (length - at >= CONFIG_ENTRY_HEAD) {
        const uint32_t size = config_entry_bytes(entry_len(entries + at));
        if (size > length - at) return false;
        at += size;
    }
    return at == length;
}

config_merge_result config_merge(uint8_t* old_entries, uint32_t old_length, const uint8_t* new_entries,
                                 uint32_t new_length, uint32_t capacity, uint32_t* length) {
    if (old_length < MERGE_MIN_LENGTH || new_length < MERGE_MIN_LENGTH) return config_merge_result::too_short;
    uint32_t have = old_length;
    for (uint32_t at = 0; at < new_length;) {
        if (new_length - at < CONFIG_ENTRY_HEAD) return config_merge_result::malformed;
        const uint8_t* e = new_entries + at;
        const uint8_t len = entry_len(e);
        if (len == 0) return config_merge_result::empty_entry;
        const uint32_t size = config_entry_bytes(len);
        if (size > new_length - at) return config_merge_result::malformed;
        uint8_t* same = find_same_entry(old_entries, have, e);
        if (same != nullptr) {
            std::memcpy(same + CONFIG_ENTRY_HEAD, e + CONFIG_ENTRY_HEAD, 2u * len);
        } else {
            if (have + size >= capacity) return config_merge_result::no_room;
            std::memcpy(old_entries + have, e, size);
            have += size;
        }
        at += size;
    }
    *length = have;
    return config_merge_result::ok;
}

config_merge_result config_region_merge(uint8_t* region, const config_layout& layout, const uint8_t* new_entries,
                                        uint32_t new_length, uint32_t* write_length) {
    const uint32_t old_length = le16_get(region + layout.length_at());
    uint32_t length = 0;
    const config_merge_result r = config_merge(region + layout.entries_at(), old_length, new_entries, new_length,
                                               layout.capacity, &length);
    if (r != config_merge_result::ok) return r;
    le16_put(region + layout.length_at(), static_cast<uint16_t>(length));
    le32_put(region + CONFIG_SIZE_AT, CONFIG_BLOCK_HEAD + length);
    *write_length = layout.write_length(length);
    return r;
}

config_image_fault config_image_check(const uint8_t* image, uint32_t size) {
    const config_layout& l = CONFIG_LAYOUT_MERGE;
    if (size < l.entries_at()) return config_image_fault::too_short;
    const uint32_t length = le16_get(image + l.length_at());
    if (length > size - l.entries_at()) return config_image_fault::block_beyond;
    return config_image_entries_valid(image + l.entries_at(), length) ? config_image_fault::none
                                                                       : config_image_fault::bad_entries;
}

bool config_image_add_entry(uint8_t* image, uint32_t* size, const uint8_t entry[BT_ENTRY_BYTES]) {
    const config_layout& l = CONFIG_LAYOUT_MERGE;
    if (*size < l.entries_at()) return false;
    const uint32_t length = le16_get(image + l.length_at());
    const uint64_t end = uint64_t{l.block_at} + le32_get(image + CONFIG_SIZE_AT);
    if (end != l.write_length(length) || end > *size || end + BT_ENTRY_BYTES > CONFIG_IMAGE_BYTES) return false;
    std::memcpy(image + end, entry, BT_ENTRY_BYTES);
    le32_put(image + CONFIG_SIZE_AT, le32_get(image + CONFIG_SIZE_AT) + BT_ENTRY_BYTES);
    le16_put(image + l.length_at(), static_cast<uint16_t>(length + BT_ENTRY_BYTES));
    if (*size < end + BT_ENTRY_BYTES) *size = static_cast<uint32_t>(end + BT_ENTRY_BYTES);
    return true;
}

uint16_t config_image_id(const uint8_t* image, uint32_t size) {
    return size >= CONFIG_IMAGE_ID_AT + 2 ? le16_get(image + CONFIG_IMAGE_ID_AT) : 0;
}
