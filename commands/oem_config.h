// The OEM configuration block that a module keeps in its internal flash: a
// 6-byte header and tagged entries (id, len, data, mask) behind it, and the
// rules that merge new entries into a stored block without losing the rest.
// Pure functions over byte buffers; the commands addmac and configmerge read
// the region, merge with these and write it back.
#pragma once
#include <cstdint>

// Entry: id (2, little-endian), len (1), data (len), mask (len).
constexpr uint32_t CONFIG_ENTRY_HEAD = 3;
// Block header: bytes 0 to 3 carried unchanged, 4 and 5 the entries length.
constexpr uint32_t CONFIG_BLOCK_HEAD = 6;
constexpr uint32_t CONFIG_LENGTH_AT = 4;   // within the block header
// Region offset of the 32-bit block size (6 + entries length).
constexpr uint32_t CONFIG_SIZE_AT = 8;
// A stored entries length of 0xFFFF: the region is erased.
constexpr uint16_t CONFIG_REGION_EMPTY = 0xFFFF;

// Image ID and the offset of the block in an OEM configuration image, which
// has the layout of the region that configmerge writes.
constexpr uint32_t CONFIG_IMAGE_ID_AT = 4;
constexpr uint32_t CONFIG_IMAGE_BYTES = 8192;

// Bluetooth address entries: six address bytes, last pair of the text first.
constexpr uint32_t BT_ADDR_BYTES = 6;
constexpr uint32_t BT_ENTRY_BYTES = CONFIG_ENTRY_HEAD + 2 * BT_ADDR_BYTES;  // 15
constexpr uint16_t CONFIG_ID_BT_ADDR = 0x0033;        // written by addmac
constexpr uint16_t CONFIG_ID_IMAGE_BT_ADDR = 0x0044;  // added to an image by configmerge

// Where the block lies in a region and how much room it has.
struct config_layout {
    uint32_t block_at;    // offset of the block header from the region start
    uint32_t capacity;    // entries length must stay below this
    uint32_t erase_size;  // bytes erased before the region is written back
    uint32_t length_at() const { return block_at + CONFIG_LENGTH_AT; }
    uint32_t entries_at() const { return block_at + CONFIG_BLOCK_HEAD; }
    // Bytes from the region start to the end of a block with `entries` bytes.
    uint32_t write_length(uint32_t entries) const { return entries_at() + entries; }
};

constexpr config_layout CONFIG_LAYOUT_ADDMAC = {0x400, 1018, 4096};
constexpr config_layout CONFIG_LAYOUT_MERGE = {0x1000, 4090, 8192};

constexpr uint32_t config_entry_bytes(uint8_t len) { return CONFIG_ENTRY_HEAD + 2u * len; }

// Converts "00:11:22:33:44:55" into its six bytes in text order. Exactly six
// pieces of one or two hex digits separated by ':'; anything else (fewer or
// more pieces, other characters, longer pieces) is refused: false.
bool config_parse_bt_address(const char* text, uint8_t addr[BT_ADDR_BYTES]);

// The Bluetooth address entry: id, len 6, the address bytes reversed, mask of
// six 0xFF bytes.
void config_bt_entry(uint16_t id, const uint8_t addr[BT_ADDR_BYTES], uint8_t entry[BT_ENTRY_BYTES]);

// The check of an image's entries: walk entries while at least 5 bytes
// remain and the next entry fits; valid when the walk used exactly `length`.
bool config_image_entries_valid(const uint8_t* entries, uint32_t length);

// True when entries of any len (0 included) lie back to back and end exactly
// at `length`: what a stored block must be for a merge to be sound.
bool config_entries_well_formed(const uint8_t* entries, uint32_t length);

enum class config_merge_result {
    ok,
    too_short,       // a length below 3
    empty_entry,     // a new entry with len 0
    no_room,         // an appended entry would reach the capacity
    malformed,       // the new entries do not walk to their length
};

// Merges the new entries into the old ones: an old entry with the same id,
// len and mask takes the new data (and mask); any other new entry is appended,
// and an entry appended earlier in the same merge counts as old. `old_entries`
// has room for `capacity` bytes. On ok, *length is the new length of the old
// entries; on any failure the old entries may be partly merged and must not
// be written.
config_merge_result config_merge(uint8_t* old_entries, uint32_t old_length, const uint8_t* new_entries,
                                 uint32_t new_length, uint32_t capacity, uint32_t* length);

// A region copy that holds the stored block: merges the new entries into it
// and stores the new entries length and block size. The stored entries must
// be well formed and shorter than the capacity (checked by the caller before
// the copy is read). ok with *write_length, the bytes to write from the
// region start.
config_merge_result config_region_merge(uint8_t* region, const config_layout& layout, const uint8_t* new_entries,
                                        uint32_t new_length, uint32_t* write_length);

// What is wrong with an OEM configuration image of `size` bytes.
enum class config_image_fault {
    none,
    too_short,     // the image ends before its entries length field
    block_beyond,  // the entries run past the end of the image
    bad_entries,   // the entries do not walk to the entries length
};

config_image_fault config_image_check(const uint8_t* image, uint32_t size);

// Adds a Bluetooth address entry behind the image's last entry: at the block
// end named by the block size at offset 8, which must agree with the entries
// length and lie inside the image, and inside the buffer of CONFIG_IMAGE_BYTES. The block size and the
// entries length grow by 15 and *size covers the new entry. False when the
// image's fields disagree or there is no room; the image is then unchanged.
bool config_image_add_entry(uint8_t* image, uint32_t* size, const uint8_t entry[BT_ENTRY_BYTES]);

// The image's ID (offset 4), or 0 for an image shorter than the field.
uint16_t config_image_id(const uint8_t* image, uint32_t size);
