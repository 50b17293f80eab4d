// The image header check on small image files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/mp_header.h"
#include "protocol/hci.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes record(uint16_t id, uint8_t len, uint8_t fill = 0xA5) {
    bytes r = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), len};
    r.insert(r.end(), len, fill);
    return r;
}

bytes length_record(uint32_t payload) {
    bytes r = record(4, 4);
    for (int i = 0; i < 4; ++i) r[3 + i] = static_cast<uint8_t>(payload >> (8 * i));
    return r;
}

bytes join(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The records at the start of a file of `size` bytes (zero-filled behind).
bytes image(const bytes& records, size_t size) {
    bytes out = records;
    out.resize(size, 0);
    return out;
}

class TempFile {
public:
    explicit TempFile(const bytes& content) : f_(std::tmpfile()) {
        if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f_);
        std::rewind(f_);
    }
    ~TempFile() { std::fclose(f_); }
    FILE* get() const { return f_; }

private:
    FILE* f_;
};

const bytes kRec1 = record(1, 2), kRec2 = record(2, 4), kRec3 = record(3, 32);

TEST(MpHeader, PayloadLengthByHeaderContent) {
    // Fillers bring the length record to offset 511, the last one searched.
    const bytes to_511 = join({kRec1, kRec2, kRec3, record(9, 255), record(9, 203)});
    ASSERT_EQ(to_511.size(), 511u);
    struct Case {
        const char* what;
        bytes content;
        int64_t payload;
    } cases[] = {
        {"shorter than a header", bytes(511, 0x11), 511},
        {"exactly the header size, no records", bytes(512, 0), 512},
        {"valid header", image(join({kRec1, kRec2, kRec3, length_record(88)}), 600), 88},
        {"records in any order", image(join({length_record(40), kRec3, kRec1, kRec2}), 600), 40},
        {"record 3 one byte short", image(join({kRec1, kRec2, record(3, 31), length_record(88)}), 600),
         600},
        {"record 4 missing", image(join({kRec1, kRec2, kRec3}), 600), 600},
        {"first record 3 counts", image(join({kRec1, record(3, 31), kRec2, kRec3, length_record(8)}), 600),
         600},
        {"length record at offset 511", image(join({to_511, length_record(82)}), 600), 82},
        {"record past offset 511 is not searched", image(join({to_511, record(9, 0), length_record(8)}), 600),
         600},
        {"payload as long as the file behind the header",
         image(join({kRec1, kRec2, kRec3, length_record(88)}), 600), 88},
        {"payload longer than the file behind the header",
         image(join({kRec1, kRec2, kRec3, length_record(89)}), 600), 600},
        {"huge payload length", image(join({kRec1, kRec2, kRec3, length_record(0xFFFFFFFF)}), 600), 600},
        {"record data runs past the end of the file",
         image(join({kRec1, kRec2, kRec3, record(9, 255), record(9, 203), record(4, 4)}), 513), 513},
        {"empty payload", image(join({kRec1, kRec2, kRec3, length_record(0)}), 512 + 16), 0},
    };
    for (const Case& c : cases) {
        TempFile f(c.content);
        EXPECT_EQ(mp_file_size(f.get()), static_cast<int64_t>(c.content.size())) << c.what;
        EXPECT_EQ(mp_payload_length(f.get()), c.payload) << c.what;
        bool header = c.payload != static_cast<int64_t>(c.content.size());
        EXPECT_EQ(mp_has_header(f.get()), header ? 0 : -1) << c.what;
    }
}

TEST(MpHeader, ReadPositionIsKept) {
    TempFile f(image(join({kRec1, kRec2, kRec3, length_record(88)}), 600));
    std::fseek(f.get(), 123, SEEK_SET);
    mp_file_size(f.get());
    mp_payload_length(f.get());
    mp_has_header(f.get());
    mp_is_not_oem_config(f.get());
    EXPECT_EQ(std::ftell(f.get()), 123);
}

TEST(MpHeader, OemConfigIdIsReadBehindTheHeader) {
    auto payload_with_id = [](uint16_t id) {
        bytes p(12, 0);
        p[4] = static_cast<uint8_t>(id);
        p[5] = static_cast<uint8_t>(id >> 8);
        return p;
    };
    bytes headed = image(join({kRec1, kRec2, kRec3, length_record(12)}), 512);
    bytes oem = payload_with_id(IMAGE_ID_OEM_CONFIG);
    bytes headed_oem = headed;
    headed_oem.insert(headed_oem.end(), oem.begin(), oem.end());
    bytes headed_other = headed;
    bytes other = payload_with_id(FACTORY_IMAGE_ID);
    headed_other.insert(headed_other.end(), other.begin(), other.end());
    bytes oem_without_header = oem;
    oem_without_header.resize(511, 0);
    struct Case {
        const char* what;
        bytes content;
        int32_t not_oem;
    } cases[] = {
        {"OEM image behind a header", headed_oem, 0},
        {"factory image behind a header", headed_other, 1},
        {"OEM image without a header", oem_without_header, 0},
        {"OEM id in the header area only", join({oem, bytes(600, 0)}), 0},
        {"file shorter than the payload head", bytes(7, 0x8E), 1},
    };
    for (const Case& c : cases) {
        TempFile f(c.content);
        EXPECT_EQ(mp_is_not_oem_config(f.get()), c.not_oem) << c.what;
    }
}

TEST(MpHeader, NoFile) {
    EXPECT_EQ(mp_file_size(nullptr), 0);
    EXPECT_EQ(mp_payload_length(nullptr), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mp_has_header(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "NULL FILE pointer\n");
}

}  // namespace
