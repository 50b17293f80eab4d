// The packed image parser: the fuzz input as a packed image held in memory.
// A parse that succeeds gives, in file order, one sub-image per bit of the
// header's indicator, each lying behind the header and the entry table, one
// after the other, inside the input, each at an address of its own; a parse
// that fails gives one of the parser's results. Writing the sub-images into
// files is the splitter's part, tested on its own.
#include <cstdlib>

#include "common/le.h"
#include "image/mp_header.h"
#include "image/packed_image.h"

namespace {

int bits(uint32_t v) {
    int n = 0;
    for (; v != 0; v >>= 1) n += static_cast<int>(v & 1);
    return n;
}

void check_layout(const uint8_t* data, size_t size, const packed_layout& layout) {
    const int n = layout.count;
    if (size < PACKED_HEADER_BYTES || le16_get(data) != PACKED_SIGNATURE) std::abort();
    if (n != bits(le32_get(data + PACKED_INDICATOR_AT)) || n == 0 || n > IMAGE_SLOTS) std::abort();
    uint64_t at = PACKED_HEADER_BYTES + static_cast<uint64_t>(PACKED_ENTRY_BYTES) * n;
    for (int k = 0; k < n; ++k) {
        const packed_sub& sub = layout.subs[k];
        const uint8_t* entry = data + PACKED_HEADER_BYTES + PACKED_ENTRY_BYTES * k;
        if (sub.address != le32_get(entry) || sub.length != le32_get(entry + 4) || sub.start != at) std::abort();
        if (sub.length < MP_HEADER_SIZE || sub.start + sub.length > size) std::abort();
        for (int j = 0; j < k; ++j)
            if (layout.subs[j].address == sub.address) std::abort();
        at += sub.length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    packed_layout layout;
    const int32_t result = packed_parse(data, size, &layout);
    if (result == 0)
        check_layout(data, size, layout);
    else if (result > 0 || result < PACKED_BAD_LENGTH)
        std::abort();
    return 0;
}
