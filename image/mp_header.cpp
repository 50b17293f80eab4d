// The optional 512-byte image header: a chain of (id, len, data) records in
// front of the payload. Records 1, 2, 3 and 4 with lengths 2, 4, 32 and 4 make
// a valid header; record 4 holds the payload length.
#include "image/mp_header.h"

#include <new>
#include <vector>

#include "common/le.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

const char* const MSG_NO_MEMORY = "malloc error in mp_header_check\n";
const char* const MSG_READ_ERROR = "fread error in mp_header_check\n";
const char* const MSG_NULL_FILE = "NULL FILE pointer\n";

constexpr uint32_t RECORD_HEAD_BYTES = 3;  // id (2) and len (1)
constexpr uint32_t RECORD_DATA_MAX = 255;
// The last record may start at offset 511 and carry 255 bytes.
constexpr uint32_t HEADER_SCAN_BYTES = MP_HEADER_SIZE + RECORD_HEAD_BYTES + RECORD_DATA_MAX;
constexpr int REQUIRED_RECORDS = 4;
constexpr uint8_t REQUIRED_LEN[REQUIRED_RECORDS] = {2, 4, 32, 4};  // records 1 to 4
constexpr uint32_t PAYLOAD_ID_OFFSET = 4;
constexpr uint32_t PAYLOAD_HEAD_BYTES = 12;

// Keeps a file's read position across a look at the file.
class position_keeper {
public:
    explicit position_keeper(FILE* f) : f_(f), pos_(std::ftell(f)) {}
    ~position_keeper() {
        if (pos_ >= 0) std::fseek(f_, pos_, SEEK_SET);
    }
    position_keeper(const position_keeper&) = delete;
    position_keeper& operator=(const position_keeper&) = delete;

private:
    FILE* f_;
    long pos_;
};

// Walks the record chain of the bytes at the start of a file of `file_size`
// bytes. True with the payload length when records 1 to 4 are found (the first
// of each id counts) with their lengths, every record up to them lies inside
// the file, and the payload fits behind the header.
bool parse_header(const std::vector<uint8_t>& head, int64_t file_size, uint32_t* payload) {
    int32_t first[REQUIRED_RECORDS] = {-1, -1, -1, -1};
    int found = 0;
    for (uint32_t at = 0; at < MP_HEADER_SIZE && found < REQUIRED_RECORDS;) {
        if (at + RECORD_HEAD_BYTES > head.size()) return false;
        uint16_t id = le16_get(&head[at]);
        uint8_t len = head[at + 2];
        if (at + RECORD_HEAD_BYTES + len > head.size()) return false;
        if (id >= 1 && id <= REQUIRED_RECORDS && first[id - 1] < 0) {
            if (len != REQUIRED_LEN[id - 1]) return false;
            first[id - 1] = static_cast<int32_t>(at);
            ++found;
        }
        at += RECORD_HEAD_BYTES + len;
    }
    if (found < REQUIRED_RECORDS) return false;
    uint32_t length = le32_get(&head[static_cast<uint32_t>(first[3]) + RECORD_HEAD_BYTES]);
    if (length > file_size - static_cast<int64_t>(MP_HEADER_SIZE)) return false;
    *payload = length;
    return true;
}

}  // namespace

int64_t mp_file_size(FILE* f) {
    const int64_t size = plat_file_size(f);
    return size < 0 ? 0 : size;
}

int64_t mp_payload_length(FILE* f) {
    if (f == nullptr) return 0;
    int64_t size = mp_file_size(f);
    if (size < static_cast<int64_t>(MP_HEADER_SIZE)) return size;
    position_keeper keep(f);
    size_t want = size < HEADER_SCAN_BYTES ? static_cast<size_t>(size) : HEADER_SCAN_BYTES;
    std::vector<uint8_t> head;
    try {
        head.resize(want);
    } catch (const std::bad_alloc&) {
        con_err("%s", MSG_NO_MEMORY);
        return -1;
    }
    if (std::fseek(f, 0, SEEK_SET) != 0 || std::fread(head.data(), 1, want, f) != want) {
        con_err("%s", MSG_READ_ERROR);
        return -2;
    }
    uint32_t payload = 0;
    return parse_header(head, size, &payload) ? payload : size;
}

int32_t mp_has_header(FILE* f) {
    if (f == nullptr) {
        con_err("%s", MSG_NULL_FILE);
        return -1;
    }
    int64_t payload = mp_payload_length(f);
    return payload >= 0 && payload != mp_file_size(f) ? 0 : -1;
}

int32_t mp_is_not_oem_config(FILE* f) {
    if (f == nullptr) return 1;
    long start = mp_has_header(f) == 0 ? MP_HEADER_SIZE : 0;
    position_keeper keep(f);
    uint8_t head[PAYLOAD_HEAD_BYTES];
    if (std::fseek(f, start, SEEK_SET) != 0 || std::fread(head, 1, sizeof head, f) != sizeof head)
        return 1;
    uint16_t id = le16_get(head + PAYLOAD_ID_OFFSET);
    return id == IMAGE_ID_OEM_CONFIG ? 0 : 1;
}
