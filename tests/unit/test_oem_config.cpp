// The OEM configuration block: address texts, entry walks, the merge rule
// and the image's own block, over plain byte buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/byte_list.h"
#include "commands/oem_config.h"
#include "common/le.h"

namespace {

using bytes = std::vector<uint8_t>;

// One entry: id, len, data, mask.
bytes entry(uint16_t id, const bytes& data, const bytes& mask) {
    bytes e = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(data.size())};
    e.insert(e.end(), data.begin(), data.end());
    e.insert(e.end(), mask.begin(), mask.end());
    return e;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const bytes kMask6(6, 0xFF);
const bytes kMac = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00};  // 00:11:22:33:44:55 reversed

// ------------------------------------------------------------ address texts

struct AddressCase {
    const char* text;
    bool ok;
};

class BtAddress : public testing::TestWithParam<AddressCase> {};

TEST_P(BtAddress, OnlySixPiecesOfOneOrTwoHexDigitsConvert) {
    uint8_t addr[BT_ADDR_BYTES] = {};
    EXPECT_EQ(config_parse_bt_address(GetParam().text, addr), GetParam().ok) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, BtAddress, testing::Values(
    AddressCase{"00:11:22:33:44:55", true},
    AddressCase{"a:B:c:D:e:F", true},
    AddressCase{"00:11:22:33:44", false},        // five pieces
    AddressCase{"00:11:22:33:44:55:66", false},  // seven
    AddressCase{"00:11:22:33:44:55:", false},
    AddressCase{"00:11:22:33:44:555", false},    // a third digit would be cut
    AddressCase{"00:11:22:33:44:zz", false},
    AddressCase{"00::11:22:33:44", false},
    AddressCase{"001122334455", false},
    AddressCase{"", false}));

TEST(BtEntry, HoldsTheAddressReversedUnderAFullMask) {
    uint8_t addr[BT_ADDR_BYTES];
    ASSERT_TRUE(config_parse_bt_address("00:11:22:33:44:55", addr));
    uint8_t e[BT_ENTRY_BYTES];
    config_bt_entry(CONFIG_ID_BT_ADDR, addr, e);
    EXPECT_EQ(bytes(e, e + BT_ENTRY_BYTES), entry(0x0033, kMac, kMask6));
}

TEST(ByteList, StopsAfterTheAskedPiecesAndShowsWhatFollows) {
    uint8_t out[16];
    const char* end = nullptr;
    std::string seventeen;
    for (int i = 0; i < 17; ++i) seventeen += (i ? ":" : "") + std::to_string(10 + i);
    EXPECT_EQ(cmd_byte_list(seventeen.c_str(), out, 16, &end), 16u);
    EXPECT_EQ(*end, ':');
    EXPECT_EQ(out[15], 0x25);
    EXPECT_EQ(cmd_byte_list("1:2:3", out, 16, &end), 3u);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(cmd_byte_list("1:2x:3", out, 16, &end), 2u);
    EXPECT_EQ(*end, 'x');
}

// ------------------------------------------------------------ entry walks

struct WalkCase {
    const char* name;
    bytes entries;
    uint32_t length;
    bool image_valid;   // the image check (walks while 5 bytes remain)
    bool well_formed;   // the stored block check (every entry, len 0 too)
};

class EntryWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(EntryWalk, ConsumesExactlyTheLength) {
    const WalkCase& c = GetParam();
    EXPECT_EQ(config_image_entries_valid(c.entries.data(), c.length), c.image_valid) << c.name;
    EXPECT_EQ(config_entries_well_formed(c.entries.data(), c.length), c.well_formed) << c.name;
}

const bytes kTwo = cat({entry(0x10, {1, 2}, {0xFF, 0xFF}), entry(0x11, {3}, {0x0F})});  // 7 + 5 bytes
const bytes kTail4 = cat({kTwo, bytes{0x20, 0x00, 0x01, 0xAA}});

INSTANTIATE_TEST_SUITE_P(Blocks, EntryWalk, testing::Values(
    WalkCase{"two entries", kTwo, 12, true, true},
    WalkCase{"empty", kTwo, 0, true, true},
    WalkCase{"one byte left over", cat({kTwo, bytes{0}}), 13, false, false},
    WalkCase{"four bytes left over", kTail4, 16, false, false},
    WalkCase{"last entry longer than the length", kTwo, 11, false, false},
    WalkCase{"len 0 entry at the end", cat({kTwo, entry(0x30, {}, {})}), 15, false, true},
    WalkCase{"len 0 entry in the middle", cat({entry(0x30, {}, {}), kTwo}), 15, true, true}),
    [](const testing::TestParamInfo<WalkCase>& i) {
        std::string n = i.param.name;
        for (char& ch : n) if (ch == ' ') ch = '_';
        return n;
    });

// ------------------------------------------------------------ merge rule

struct MergeCase {
    const char* name;
    bytes old_entries;
    bytes new_entries;
    uint32_t capacity;
    config_merge_result result;
    bytes merged;  // for ok
};

class Merge : public testing::TestWithParam<MergeCase> {};

TEST_P(Merge, FollowsTheRule) {
    const MergeCase& c = GetParam();
    bytes room(c.capacity + 64, 0xEE);
    std::memcpy(room.data(), c.old_entries.data(), c.old_entries.size());
    uint32_t length = 0xDEAD;
    EXPECT_EQ(config_merge(room.data(), static_cast<uint32_t>(c.old_entries.size()), c.new_entries.data(),
                           static_cast<uint32_t>(c.new_entries.size()), c.capacity, &length),
              c.result) << c.name;
    if (c.result != config_merge_result::ok) return;
    ASSERT_EQ(length, c.merged.size()) << c.name;
    EXPECT_EQ(bytes(room.begin(), room.begin() + length), c.merged) << c.name;
    EXPECT_EQ(room[length], 0xEE) << c.name << ": wrote past the merged entries";
}

const bytes kOldMac = entry(0x33, {9, 9, 9, 9, 9, 9}, kMask6);
const bytes kNewMac = entry(0x33, kMac, kMask6);
const bytes kOther = entry(0x01, {0xAB}, {0xFF});
const bytes kHalfMask = entry(0x33, kMac, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});

INSTANTIATE_TEST_SUITE_P(Cases, Merge, testing::Values(
    MergeCase{"same id len and mask take the new data", cat({kOther, kOldMac}), kNewMac, 1018,
              config_merge_result::ok, cat({kOther, kNewMac})},
    MergeCase{"a different mask is appended", cat({kOther, kOldMac}), kHalfMask, 1018,
              config_merge_result::ok, cat({kOther, kOldMac, kHalfMask})},
    MergeCase{"a different len is appended", kOldMac, entry(0x33, {1, 2}, {0xFF, 0xFF}), 1018,
              config_merge_result::ok, cat({kOldMac, entry(0x33, {1, 2}, {0xFF, 0xFF})})},
    MergeCase{"an entry appended earlier in the merge counts as old", kOther,
              cat({kHalfMask, entry(0x33, {7, 7, 7, 7, 7, 7}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00})}), 1018,
              config_merge_result::ok, cat({kOther, entry(0x33, {7, 7, 7, 7, 7, 7}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00})})},
    MergeCase{"a result one below the capacity fits", kOther, kNewMac, 21, config_merge_result::ok,
              cat({kOther, kNewMac})},
    MergeCase{"a result equal to the capacity fails", kOther, kNewMac, 20, config_merge_result::no_room, {}},
    MergeCase{"an entry of length 0 fails", kOther, entry(0x40, {}, {}), 1018, config_merge_result::empty_entry, {}},
    MergeCase{"old entries below 3 bytes fail", bytes{0x01, 0x00}, kNewMac, 1018, config_merge_result::too_short, {}},
    MergeCase{"new entries below 3 bytes fail", kOther, bytes{0x01, 0x00}, 1018, config_merge_result::too_short, {}},
    MergeCase{"new entries that run short fail", kOther, bytes(kNewMac.begin(), kNewMac.end() - 1), 1018,
              config_merge_result::malformed, {}}),
    [](const testing::TestParamInfo<MergeCase>& i) {
        std::string n = i.param.name;
        for (char& ch : n) if (ch == ' ') ch = '_';
        return n;
    });

TEST(RegionMerge, StoresTheNewLengthAndBlockSize) {
    const config_layout& l = CONFIG_LAYOUT_ADDMAC;
    bytes region(8192, 0x5A);
    const bytes old = cat({kOther, kOldMac});
    std::memcpy(&region[l.entries_at()], old.data(), old.size());
    le16_put(&region[l.length_at()], static_cast<uint16_t>(old.size()));
    uint32_t write_length = 0;
    ASSERT_EQ(config_region_merge(region.data(), l, kHalfMask.data(), 15, &write_length), config_merge_result::ok);
    EXPECT_EQ(le16_get(&region[0x404]), old.size() + 15);
    EXPECT_EQ(le32_get(&region[8]), 6 + old.size() + 15);
    EXPECT_EQ(write_length, 0x406 + old.size() + 15);
    EXPECT_EQ(region[0], 0x5A);  // the rest of the copy is carried unchanged
}

// ------------------------------------------------------------ the image's block

// An image of `size` bytes with the entries at 0x1006 and consistent fields.
bytes image_with(const bytes& entries, uint32_t size, uint16_t id = 0x278E) {
    bytes img(size, 0);
    le16_put(&img[4], id);
    le32_put(&img[8], 6 + static_cast<uint32_t>(entries.size()));
    le16_put(&img[0x1004], static_cast<uint16_t>(entries.size()));
    std::memcpy(&img[0x1006], entries.data(), entries.size());
    return img;
}

TEST(ImageCheck, TellsWhereTheBlockFails) {
    bytes img = image_with(kTwo, 0x1006 + 12);
    EXPECT_EQ(config_image_check(img.data(), static_cast<uint32_t>(img.size())), config_image_fault::none);
    EXPECT_EQ(config_image_check(img.data(), 0x1005), config_image_fault::too_short);
    EXPECT_EQ(config_image_check(img.data(), 0x1006 + 11), config_image_fault::block_beyond);
    le16_put(&img[0x1004], 13);
    img.push_back(0);
    EXPECT_EQ(config_image_check(img.data(), static_cast<uint32_t>(img.size())), config_image_fault::bad_entries);
}

TEST(ImageAddEntry, AppendsBehindTheLastEntryAndGrowsBothLengths) {
    bytes img = image_with(kTwo, 8192);
    uint32_t size = 0x1006 + 12;
    uint8_t e[BT_ENTRY_BYTES];
    std::memcpy(e, kNewMac.data(), BT_ENTRY_BYTES);
    ASSERT_TRUE(config_image_add_entry(img.data(), &size, e));
    EXPECT_EQ(size, 0x1006u + 27);
    EXPECT_EQ(le32_get(&img[8]), 6u + 27);
    EXPECT_EQ(le16_get(&img[0x1004]), 27u);
    EXPECT_EQ(bytes(img.begin() + 0x1006 + 12, img.begin() + 0x1006 + 27), kNewMac);
    EXPECT_EQ(config_image_check(img.data(), size), config_image_fault::none);
}

TEST(ImageAddEntry, RefusesFieldsThatDisagreeOrNoRoom) {
    uint8_t e[BT_ENTRY_BYTES];
    std::memcpy(e, kNewMac.data(), BT_ENTRY_BYTES);
    bytes img = image_with(kTwo, 8192);
    le32_put(&img[8], 6 + 10);  // block size says the entries end early
    bytes before = img;
    uint32_t size = 0x1006 + 12;
    EXPECT_FALSE(config_image_add_entry(img.data(), &size, e));
    EXPECT_EQ(img, before);
    EXPECT_EQ(size, 0x1006u + 12);

    bytes full = image_with(bytes(8192 - 0x1006 - 10, 0), 8192);  // 10 bytes left in the buffer
    size = 8192 - 10;
    EXPECT_FALSE(config_image_add_entry(full.data(), &size, e));

    bytes cut = image_with(kTwo, 8192);
    size = 0x1006 + 11;  // the block ends behind the bytes read from the file
    EXPECT_FALSE(config_image_add_entry(cut.data(), &size, e));
}

TEST(ImageId, IsReadOnlyFromAnImageThatHoldsIt) {
    bytes img = image_with(kTwo, 0x1006 + 12, 0x278F);
    EXPECT_EQ(config_image_id(img.data(), 6), 0x278F);
    EXPECT_EQ(config_image_id(img.data(), 5), 0);
}

}  // namespace
