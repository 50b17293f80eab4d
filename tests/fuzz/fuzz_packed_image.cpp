// The packed image parser: the fuzz input as a packed image, split into the
// temporary folder (inside this target's own folder). A parse that succeeds
// has written, for every sub-image it put into the table, a file holding
// exactly that sub-image's payload; the folder is removed afterwards.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/le.h"
#include "fake_platform.h"
#include "image/mp_header.h"
#include "image/packed_image.h"
#include "platform/platform.h"

namespace {

const char* const PACKED_FILE = "packed.bin";
image_slot table[IMAGE_SLOTS];
packed_output out;

std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) std::abort();
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-packed");
    // The parser's temporary folder goes below the working folder.
    setenv("TMPDIR", ".", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(PACKED_FILE, "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    image_table_init(table);
    packed_output_init(&out);
    const int32_t result = packed_img_parser(PACKED_FILE, table, &out);
    if (result == 0) {
        // The sub-images lie behind the 44-byte header and the 12-byte table
        // entries, one after the other; each file holds a payload behind its
        // 512-byte header. Sub-images at the same address share a file, which
        // holds the last of them.
        const uint32_t n = static_cast<uint32_t>(out.count);
        if (n == 0 || n > static_cast<uint32_t>(IMAGE_SLOTS)) std::abort();
        size_t at = PACKED_HEADER_BYTES + PACKED_ENTRY_BYTES * n;
        std::vector<std::vector<uint8_t>> payloads;
        for (uint32_t k = 0; k < n; ++k) {
            const uint8_t* entry = data + PACKED_HEADER_BYTES + PACKED_ENTRY_BYTES * k;
            const uint32_t length = le32_get(entry + 4);
            if (length < MP_HEADER_SIZE || at + length > size) std::abort();
            payloads.emplace_back(data + at + MP_HEADER_SIZE, data + at + length);
            at += length;
        }
        for (uint32_t k = 0; k < n; ++k) {
            uint32_t last = k;
            for (uint32_t j = k + 1; j < n; ++j)
                if (std::strcmp(table[j].file, table[k].file) == 0) last = j;
            const std::string path = std::string(table[k].folder) + plat_path_separator() + table[k].file;
            if (read_file(path) != payloads[last]) std::abort();
        }
        for (uint32_t k = n; k < static_cast<uint32_t>(IMAGE_SLOTS); ++k)
            if (!image_slot_unused(table[k])) std::abort();
    }
    if (out.folder[0] != '\0' && plat_remove_tree(out.folder) != 0) std::abort();
    return 0;
}
