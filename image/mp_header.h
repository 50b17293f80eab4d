// The optional 512-byte image header in front of a flash image's payload.
#pragma once
#include <cstdint>
#include <cstdio>

constexpr uint32_t MP_HEADER_SIZE = 512;
constexpr uint16_t IMAGE_ID_OEM_CONFIG = 0x278E;

// All leave the file's read position where it was.
int64_t mp_file_size(FILE* f);          // 0 for no file
int64_t mp_payload_length(FILE* f);     // payload bytes; -1 no memory, -2 read error
int32_t mp_has_header(FILE* f);         // 0 with a valid header, -1 without
int32_t mp_is_not_oem_config(FILE* f);  // 0 for an OEM configuration image, 1 otherwise
