// The image table of a multi-image run: the slots that a job file or a packed
// image fills and that the script builder turns into erase, program and
// verify lines.
#pragma once
#include <cstdint>

constexpr int32_t IMAGE_SLOTS = 30;
constexpr uint32_t IMAGE_FOLDER_BYTES = 1024;
constexpr uint32_t IMAGE_FILE_BYTES = 1024;
constexpr uint32_t IMAGE_ADDRESS_BYTES = 100;

// The file name of a slot that holds no image.
extern const char* const IMAGE_UNUSED;  // "null"

struct image_slot {
    char folder[IMAGE_FOLDER_BYTES];    // the folder that holds the file
    char file[IMAGE_FILE_BYTES];        // the file's name in it; IMAGE_UNUSED: no image
    char address[IMAGE_ADDRESS_BYTES];  // flash address as the shell commands take it
    int32_t enable;                     // 0: skipped
};

// Every slot unused ("null") and enabled, folder and address empty.
void image_table_init(image_slot* table);
bool image_slot_unused(const image_slot& slot);
