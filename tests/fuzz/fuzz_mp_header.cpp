// The image header check: the fuzz input as an image file (behind a 2-byte
// read position), through every function of the header check. The payload
// length stays inside the file, and the file's read position is kept.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fake_platform.h"
#include "image/mp_header.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-header");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::input in(data, size);
    const long position = in.u16();
    std::vector<uint8_t> image = in.rest();
    // A real file: the size comes from the file system.
    FILE* f = std::fopen("image.bin", "wb+");
    if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fflush(f) != 0)
        std::abort();
    const long start = position % static_cast<long>(image.size() + 1);
    if (std::fseek(f, start, SEEK_SET) != 0) std::abort();
    const int64_t file_size = mp_file_size(f);
    if (file_size != static_cast<int64_t>(image.size())) std::abort();
    const int64_t payload = mp_payload_length(f);
    if (payload < 0 || payload > file_size) std::abort();
    // A payload other than the whole file lies behind a 512-byte header.
    if (payload != file_size && payload > file_size - static_cast<int64_t>(MP_HEADER_SIZE)) std::abort();
    const int32_t has = mp_has_header(f);
    if ((has == 0) != (payload != file_size)) std::abort();
    const int32_t not_oem = mp_is_not_oem_config(f);
    if (not_oem != 0 && not_oem != 1) std::abort();
    if (std::ftell(f) != start) std::abort();
    std::fclose(f);
    return 0;
}
