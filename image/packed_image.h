// The packed image: one file that carries several flash images, each with its
// flash address. The parser reads the layout from the file's bytes; the
// splitter writes each sub-image's payload into a file of its own in a
// per-process temporary folder and fills the image table with them.
#pragma once
#include <cstdint>

#include "image/image_slot.h"

constexpr uint32_t PACKED_FOLDER_BYTES = 256;
constexpr uint32_t PACKED_NAME_BYTES = 100;
constexpr uint16_t PACKED_SIGNATURE = 0x4D47;
constexpr uint32_t PACKED_HEADER_BYTES = 44;
constexpr uint32_t PACKED_ENTRY_BYTES = 12;
constexpr uint32_t PACKED_INDICATOR_AT = 40;  // the sub-image bits in the header

// One sub-image as its table entry gives it.
struct packed_sub {
    uint32_t address;
    uint32_t length;  // counting its 512-byte header
    uint64_t start;   // offset of its header in the file
};

// The sub-images of a packed image, in file order.
struct packed_layout {
    int32_t count;
    packed_sub subs[IMAGE_SLOTS];
};

// What the parser reports back besides the image table.
struct packed_output {
    char folder[PACKED_FOLDER_BYTES];  // the temporary folder; "" until the parser formed it
    int32_t count;                     // sub-images written
    char names[IMAGE_SLOTS][PACKED_NAME_BYTES];
};

// Results besides 0.
constexpr int32_t PACKED_OPEN_OR_WRITE = -1;
constexpr int32_t PACKED_TOO_SHORT = -2;
constexpr int32_t PACKED_BAD_SIGNATURE = -3;
constexpr int32_t PACKED_NO_SUB_IMAGES = -4;
constexpr int32_t PACKED_NO_TEMP_PATH = -5;
constexpr int32_t PACKED_NO_FOLDER = -6;
constexpr int32_t PACKED_FOLDER_TOO_LONG = -7;
constexpr int32_t PACKED_TOO_MANY = -8;
constexpr int32_t PACKED_BAD_LENGTH = -9;

// Parses a packed image held in memory: the header, then every sub-image
// entry, each inside the buffer and at an address of its own. 0 with the
// layout, or one of the results above after a message on standard error.
int32_t packed_parse(const uint8_t* data, uint64_t size, packed_layout* layout);

// Splits the packed file at `path` into the temporary folder and fills image
// slots 0.. (folder, file, address, enabled), marking the rest "null". Every sub-image is checked before any file is written. 0, or one of
// the results above after a message on standard error.
int32_t packed_img_parser(const char* path, image_slot* table, packed_output* out);

// Clears the output record (the folder text included).
void packed_output_init(packed_output* out);
