// Downloads over HCI vendor commands: the firmware loader into the module's
// RAM, chunk by chunk with an 8-byte answer per chunk, and the factory image
// into flash at its fixed address.
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link/serial_port.h"
#include "protocol/hci_packet.h"
#include "platform/console.h"

namespace {

constexpr uint16_t OP_LOADER_CHUNK = 0xFC20;
constexpr uint32_t MAX_CHUNKS = 255;

// The answer to a chunk: command complete, length 5, two command packets,
// opcode 0xFC20, then the status and one byte that is not examined.
constexpr uint8_t CHUNK_ANSWER_START[] = {0x04, 0x0E, 0x05, 0x02, 0x20, 0xFC};
constexpr uint32_t CHUNK_ANSWER_START_BYTES = sizeof CHUNK_ANSWER_START;
constexpr uint32_t CHUNK_ANSWER_BYTES = 8;
constexpr int CHUNK_ANSWER_READS = 20;

constexpr int32_t DOWNLOAD_TIMEOUT = 1;
constexpr int32_t DOWNLOAD_NO_EVENT = 2;
constexpr int32_t DOWNLOAD_BAD_EVENT = 3;
constexpr int32_t DOWNLOAD_REFUSED = -1;

const char* const MSG_SEND_WRITE = "send write command!\n";
const char* const MSG_DUMP_HEAD = "dump recv bytes:";
const char* const MSG_DUMP_BYTE = " %02X";
const char* const MSG_RECV_TIMEOUT = "recv timeout! need %d bytes, read %d bytes\n";
const char* const MSG_NO_EVENT = "read %d effective HCI evt packet bytes!\n";
const char* const MSG_LOADER_TOO_LARGE =
    "loader image of %u bytes is too large: at most %u bytes (%u chunks of %u) can be "
    "downloaded; check the loader file\n";
const char* const MSG_FC_ERASE_FAIL = "downloading FC image: erase fail\n";

void dump_received(const uint8_t* bytes, uint32_t n) {
    std::printf("%s", MSG_DUMP_HEAD);
    for (uint32_t i = 0; i < n; ++i) std::printf(MSG_DUMP_BYTE, bytes[i]);
    std::printf("\n");
}

// Keeps the held bytes from the first offset where the answer's fixed start
// begins (or, near the end, where as much of it as is held begins) and
// returns how many are kept; 0 when no offset matches.
uint32_t resynchronise(uint8_t* held, uint32_t n) {
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t left = n - k;
        const uint32_t cmp = left < CHUNK_ANSWER_START_BYTES ? left : CHUNK_ANSWER_START_BYTES;
        if (std::memcmp(held + k, CHUNK_ANSWER_START, cmp) != 0) continue;
        std::memmove(held, held + k, left);
        return left;
    }
    return 0;
}

// Collects the 8-byte answer to one chunk within CHUNK_ANSWER_READS reads,
// each asking only for the bytes still missing.
int32_t await_chunk_answer() {
    uint8_t held[CHUNK_ANSWER_BYTES];
    uint32_t n = 0;
    for (int reads = 0; reads < CHUNK_ANSWER_READS; ++reads) {
        const uint16_t want = static_cast<uint16_t>(CHUNK_ANSWER_BYTES - n);
        const uint16_t got = link_read(held + n, want);
        dump_received(held + n, got);
        if (got < want) {
            con_err(MSG_RECV_TIMEOUT, static_cast<int>(want), static_cast<int>(got));
            return DOWNLOAD_TIMEOUT;
        }
        n = resynchronise(held, n + got);
        if (n == CHUNK_ANSWER_BYTES)
            return hci_check_event(held, n) == 0 ? 0 : DOWNLOAD_BAD_EVENT;
    }
    con_err(MSG_NO_EVENT, static_cast<int>(n));
    return DOWNLOAD_NO_EVENT;
}

}  // namespace

int32_t hci_download_loader(uint32_t size, const uint8_t* image) {
    // The chunk index is one byte: a larger image cannot be addressed.
    if (size > HCI_LOADER_MAX_BYTES) {
        con_err(MSG_LOADER_TOO_LARGE, size, HCI_LOADER_MAX_BYTES, MAX_CHUNKS,
                HCI_LOADER_CHUNK_BYTES);
        return DOWNLOAD_REFUSED;
    }
    for (uint32_t offset = 0, index = 0; offset < size; offset += HCI_LOADER_CHUNK_BYTES, ++index) {
        const uint32_t left = size - offset;
        const uint32_t n = left < HCI_LOADER_CHUNK_BYTES ? left : HCI_LOADER_CHUNK_BYTES;
        std::printf("%s", MSG_SEND_WRITE);
        hci_command(OP_LOADER_CHUNK).u8(static_cast<uint8_t>(index)).bytes(image + offset, n).send();
        const int32_t r = await_chunk_answer();
        if (r != 0) return r;
    }
    return 0;
}

int32_t hci_download_fc_image(uint32_t size, const uint8_t* image) {
    // A failed preparation does not stop the download: the erase below reports it.
    hci_flash_prepare(size, image);
    const int32_t r = hci_page_erase(FACTORY_IMAGE_ADDR, size);
    if (r != 0) {
        con_err("%s", MSG_FC_ERASE_FAIL);
        return r;
    }
    return hci_program(FACTORY_IMAGE_ADDR, size, image);
}
