#include "image/packed_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/file.h"
#include "common/le.h"
#include "common/text.h"
#include "image/mp_header.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

const char* const MSG_NO_TEMP_PATH = "packed_img_parser: Get system temp floder failed(%lu)\n";
const char* const MSG_TEMP_HAS_BLANK =
    "packed_img_parser: the temp folder %s holds a blank, which would split the script's lines, and the "
    "volume gives it no short name without one: point TMP (TMPDIR on Linux) to a folder whose path holds "
    "no blank\n";
const char* const MSG_NO_FOLDER = "packed_img_parser: make temp director fail\n";
const char* const MSG_OPEN_FAILS = "packed_img_parser: open %s fails!\n";
const char* const MSG_NOT_REGULAR =
    "packed_img_parser: %s is not a regular file (a folder, device or pipe); give the path of a file\n";
const char* const MSG_TOO_SHORT = "packed_img_parser: packed length < 44 bytes\n";
const char* const MSG_BAD_SIGNATURE = "packed_img_parser: packed image header signature != 0x4D47\n";
const char* const MSG_NO_SUB_IMAGES = "packed_img_parser: packed subIndicator == 0\n";
const char* const MSG_NO_TEMP_DIR = "packed_img_parser: no temp directory\n";
const char* const MSG_CREATE_FAILS = "packed_img_parser: create temp bin file error\n";
const char* const MSG_WRITE_FAILS = "packed_img_parser: write temp file error\n";
const char* const MSG_FOLDER_TOO_LONG =
    "packed_img_parser: the temp folder %s is longer than %u characters, refused\n";
const char* const MSG_PATH_TOO_LONG =
    "packed_img_parser: the temp file path %s%c%s is longer than %u characters, refused\n";
const char* const MSG_TOO_MANY =
    "packed_img_parser: the packed image holds %d sub-images, at most %d are supported\n";
const char* const MSG_NO_TABLE =
    "packed_img_parser: the sub-image table of %d entries runs past the end of the file (%lld bytes)\n";
const char* const MSG_BAD_LENGTH =
    "packed_img_parser: sub-image %d at 0x%x has length %u, which is below its 512-byte header "
    "or runs past the end of the file (%lld bytes)\n";
const char* const MSG_SAME_ADDRESS =
    "packed_img_parser: sub-images %d and %d both go to 0x%x; one would overwrite the other's "
    "temp file, refused\n";
const char* const MSG_READ_FAILS = "packed_img_parser: reading %s failed\n";
const char* const MSG_NO_MEMORY = "packed_img_parser: not enough memory for %lld bytes\n";
const char* const MSG_TEMP_DIR = "Temp dir: %s\n";
const char* const MSG_TEMP_FILE = "Temp file: %s\n";

const char* const FOLDER_FORMAT = "%sKVX_FLINT_%u";
const char* const ADDRESS_FORMAT = "0x%x";
const char* const NAME_FORMAT = "%s.bin";


int count_bits(uint32_t v) {
    int n = 0;
    for (; v != 0; v &= v - 1) ++n;
    return n;
}

// Writes one payload; 0 or PACKED_OPEN_OR_WRITE after its message.
int32_t write_payload(const char* path, const uint8_t* bytes, uint32_t n) {
    errno = 0;
    file_ptr f(std::fopen(path, "wb+"));
    if (!f) {
        con_err(errno == ENOENT ? MSG_NO_TEMP_DIR : MSG_CREATE_FAILS);
        return PACKED_OPEN_OR_WRITE;
    }
    const bool written = std::fwrite(bytes, 1, n, f.get()) == n;
    const bool closed = std::fclose(f.release()) == 0;
    if (!written || !closed) {
        con_err(MSG_WRITE_FAILS);
        return PACKED_OPEN_OR_WRITE;
    }
    return 0;
}

bool has_blank(const std::string& text) { return text.find(' ') != std::string::npos; }

// The system's temporary folder, ending with the separator. The sub-images'
// paths become words of script lines, so a folder with a blank (a user name
// with one) is taken by its short name; "" after a message when that too
// holds a blank.
std::string temp_folder() {
    std::string temp = plat_temp_dir();
    if (temp.empty()) {
        con_err(MSG_NO_TEMP_PATH, static_cast<unsigned long>(plat_last_error()));
        return temp;
    }
    if (has_blank(temp)) temp = plat_short_path(temp);
    if (has_blank(temp)) {
        con_err(MSG_TEMP_HAS_BLANK, temp.c_str());
        return std::string();
    }
    return temp;
}

// The per-process temporary folder, made and noted in out->folder.
int32_t make_folder(packed_output* out) {
    const std::string temp = temp_folder();
    if (temp.empty()) return PACKED_NO_TEMP_PATH;
    char folder[PACKED_FOLDER_BYTES];
    const int folder_len = std::snprintf(folder, sizeof folder, FOLDER_FORMAT, temp.c_str(),
                                         static_cast<unsigned>(plat_process_id()));
    if (folder_len < 0 || static_cast<uint32_t>(folder_len) >= sizeof folder) {
        con_err(MSG_FOLDER_TOO_LONG, temp.c_str(), PACKED_FOLDER_BYTES - 1);
        return PACKED_FOLDER_TOO_LONG;
    }
    text_copy(out->folder, folder);
    std::printf(MSG_TEMP_DIR, folder);
    if (plat_make_dir(folder) == 0) return 0;
    con_err(MSG_NO_FOLDER);
    return PACKED_NO_FOLDER;
}

// The whole file into *data (its size in *size); a result after a message.
int32_t read_whole(const char* path, std::unique_ptr<uint8_t[]>* data, uint64_t* size) {
    const bool named = plat_path_kind(path) != plat_file_kind::missing;
    file_ptr in(named ? std::fopen(path, "rb") : nullptr);
    if (!in) {
        con_err(MSG_OPEN_FAILS, path);
        return PACKED_OPEN_OR_WRITE;
    }
    const int64_t n = mp_file_size(in.get());
    if (n < static_cast<int64_t>(PACKED_HEADER_BYTES)) {
        con_err(MSG_TOO_SHORT);
        return PACKED_TOO_SHORT;
    }
    data->reset(new (std::nothrow) uint8_t[static_cast<size_t>(n)]);
    if (!*data) {
        con_err(MSG_NO_MEMORY, static_cast<long long>(n));
        return PACKED_OPEN_OR_WRITE;
    }
    if (std::fseek(in.get(), 0, SEEK_SET) != 0 ||
        std::fread(data->get(), 1, static_cast<size_t>(n), in.get()) != static_cast<size_t>(n)) {
        con_err(MSG_READ_FAILS, path);
        return PACKED_OPEN_OR_WRITE;
    }
    *size = static_cast<uint64_t>(n);
    return 0;
}

// The header's signature and sub-image count.
int32_t parse_header(const uint8_t* data, uint64_t size, int* count) {
    if (size < PACKED_HEADER_BYTES) {
        con_err(MSG_TOO_SHORT);
        return PACKED_TOO_SHORT;
    }
    if (le16_get(data) != PACKED_SIGNATURE) {
        con_err(MSG_BAD_SIGNATURE);
        return PACKED_BAD_SIGNATURE;
    }
    const uint32_t indicator = le32_get(data + PACKED_INDICATOR_AT);
    if (indicator == 0) {
        con_err(MSG_NO_SUB_IMAGES);
        return PACKED_NO_SUB_IMAGES;
    }
    *count = count_bits(indicator);
    if (*count > IMAGE_SLOTS) {
        con_err(MSG_TOO_MANY, *count, IMAGE_SLOTS);
        return PACKED_TOO_MANY;
    }
    return 0;
}

// The sub-image entries: each must lie inside the file, and no two share an
// address. Sub-images are named after their address: a second one at the
// same address would replace the first's file, and the run would report a
// module as good that holds only one of them.
int32_t parse_entries(const uint8_t* data, uint64_t size, packed_layout* layout) {
    const int n = layout->count;
    const uint64_t table_end = PACKED_HEADER_BYTES + static_cast<uint64_t>(PACKED_ENTRY_BYTES) * n;
    if (table_end > size) {
        con_err(MSG_NO_TABLE, n, static_cast<long long>(size));
        return PACKED_BAD_LENGTH;
    }
    uint64_t at = table_end;
    for (int k = 0; k < n; ++k) {
        const uint8_t* entry = data + PACKED_HEADER_BYTES + PACKED_ENTRY_BYTES * k;
        packed_sub& sub = layout->subs[k];
        sub = {le32_get(entry), le32_get(entry + 4), at};
        if (sub.length < MP_HEADER_SIZE || at + sub.length > size) {
            con_err(MSG_BAD_LENGTH, k, sub.address, sub.length, static_cast<long long>(size));
            return PACKED_BAD_LENGTH;
        }
        at += sub.length;
        for (int j = 0; j < k; ++j) {
            if (layout->subs[j].address != sub.address) continue;
            con_err(MSG_SAME_ADDRESS, j, k, sub.address);
            return PACKED_BAD_LENGTH;
        }
    }
    return 0;
}

// Each sub-image's file path must fit a slot before anything is written.
int32_t check_paths(const char* folder, const packed_layout& layout) {
    const char sep = plat_path_separator();
    for (int k = 0; k < layout.count; ++k) {
        char address[16];  // "0x" and at most 8 digits
        char name[PACKED_NAME_BYTES];
        std::snprintf(address, sizeof address, ADDRESS_FORMAT, layout.subs[k].address);
        std::snprintf(name, sizeof name, NAME_FORMAT, address);
        char file_path[IMAGE_FOLDER_BYTES];
        const int len = std::snprintf(file_path, sizeof file_path, "%s%c%s", folder, sep, name);
        if (len < 0 || static_cast<uint32_t>(len) >= sizeof file_path) {
            con_err(MSG_PATH_TOO_LONG, folder, sep, name, IMAGE_FOLDER_BYTES - 1);
            return PACKED_FOLDER_TOO_LONG;
        }
    }
    return 0;
}

// Writes sub-image k's payload into its file and slot k.
int32_t write_sub(const uint8_t* data, const packed_sub& sub, int k, image_slot& slot, packed_output* out) {
    text_copy(slot.folder, out->folder);
    slot.enable = 1;  // every sub-image is programmed, whatever a job file said for the slot
    std::snprintf(slot.address, sizeof slot.address, ADDRESS_FORMAT, sub.address);
    std::snprintf(slot.file, sizeof slot.file, NAME_FORMAT, slot.address);
    text_copy(out->names[k], slot.file);
    char file_path[IMAGE_FOLDER_BYTES];
    std::snprintf(file_path, sizeof file_path, "%s%c%s", out->folder, plat_path_separator(), slot.file);
    std::printf(MSG_TEMP_FILE, file_path);
    return write_payload(file_path, data + sub.start + MP_HEADER_SIZE, sub.length - MP_HEADER_SIZE);
}

// Writes every sub-image and marks the slots behind them unused.
int32_t write_subs(const uint8_t* data, const packed_layout& layout, image_slot* table, packed_output* out) {
    int32_t k = 0;
    for (; k < layout.count; ++k) {
        const int32_t r = write_sub(data, layout.subs[k], k, table[k], out);
        if (r != 0) {
            out->count = k;
            return r;
        }
    }
    out->count = k;
    for (int32_t i = k; i < IMAGE_SLOTS; ++i) {
        text_copy(table[i].file, IMAGE_UNUSED);
        text_copy(out->names[i], IMAGE_UNUSED);
    }
    return 0;
}

}  // namespace

void packed_output_init(packed_output* out) { std::memset(out, 0, sizeof *out); }

int32_t packed_parse(const uint8_t* data, uint64_t size, packed_layout* layout) {
    *layout = packed_layout{};
    const int32_t r = parse_header(data, size, &layout->count);
    return r != 0 ? r : parse_entries(data, size, layout);
}

int32_t packed_img_parser(const char* path, image_slot* table, packed_output* out) {
    // A FIFO or a device would hold the run forever: refused before the
    // temporary folder exists.
    if (plat_path_kind(path) == plat_file_kind::other) {
        con_err(MSG_NOT_REGULAR, path);
        return PACKED_OPEN_OR_WRITE;
    }
    int32_t r = make_folder(out);
    std::unique_ptr<uint8_t[]> data;
    uint64_t size = 0;
    if (r == 0) r = read_whole(path, &data, &size);
    packed_layout layout;
    if (r == 0) r = packed_parse(data.get(), size, &layout);
    if (r == 0) r = check_paths(out->folder, layout);
    return r != 0 ? r : write_subs(data.get(), layout, table, out);
}
