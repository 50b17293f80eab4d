#include "image/image_slot.h"

#include <cstring>

#include "common/text.h"

const char* const IMAGE_UNUSED = "null";

void image_table_init(image_slot* table) {
    for (int32_t i = 0; i < IMAGE_SLOTS; ++i) {
        image_slot& slot = table[i];
        std::memset(&slot, 0, sizeof slot);
        text_copy(slot.file, IMAGE_UNUSED);
        slot.enable = 1;
    }
}

bool image_slot_unused(const image_slot& slot) { return std::strcmp(slot.file, IMAGE_UNUSED) == 0; }
