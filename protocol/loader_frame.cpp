// The loader's frame layer: one request at a time is built in frame_buffer,
// sent whole, and its fixed-length response read back over it.
#include "protocol/loader_frame.h"

#include <cstdio>
#include <cstring>

#include "common/crc16.h"
#include "common/le.h"
#include "common/timing.h"
#include "link/link.h"
#include "platform/console.h"
#include "record/progress.h"
#include "record/run_record.h"

uint8_t frame_buffer[FRAME_BUFFER_SIZE];
uint16_t loader_request_code = 0;

namespace {

const char* const MSG_SET_TIMEOUT = "set timeout to %d\n";
const char* const MSG_RECV_TIMEOUT = "recv timeout! need %d bytes, read %d bytes.\n";
const char* const MSG_CRC_ERROR = "crc16 error! read %04x != cacled %04x\n";
const char* const MSG_PAYLOAD_TOO_LARGE =
    "a request with %llu payload bytes does not fit the %u-byte loader frame buffer\n";
const char* const MSG_RANGE_PAST_END =
    "a transfer of %u bytes at 0x%08X would run past 0xFFFFFFFF, nothing was sent\n";
const char* const MSG_FOREIGN_ANSWER =
    "answer to another request (code %04X) while waiting for the answer to %04X\n";

constexpr uint32_t HEADER_BYTES = 3;  // marker and code
constexpr uint32_t CRC_BYTES = 2;
constexpr uint32_t CRC_STEP_BYTES = 128;


// Calls piece(address, length, offset) for each packet_size piece of [addr,
// addr + len) in order; stops at the first non-zero result and returns it.
template <typename Piece>
int32_t for_each_piece(uint32_t addr, uint32_t len, Piece piece) {
    if (len == 0) return 0;
    if (!link_packet_size_usable()) return LOADER_REFUSED;
    if (!flash_range_fits(addr, len)) {
        con_err(MSG_RANGE_PAST_END, len, addr);
        failure_note(failure_class::usage);
        return LOADER_REFUSED;
    }
    const uint32_t whole = len / packet_size;
    for (uint32_t i = 0; i < whole; ++i) {
        const uint32_t offset = i * packet_size;
        const int32_t r = piece(addr + offset, packet_size, offset);
        if (r != 0) return r;
        progress_at(uint64_t{offset} + packet_size);
    }
    const uint32_t rest = len % packet_size;
    if (rest == 0) return 0;
    const uint32_t offset = whole * packet_size;
    return piece(addr + offset, rest, offset);
}

}  // namespace

loader_request::loader_request(uint16_t code) : len_(0) {
    u8(LOADER_FRAME_MARKER);
    u16(code);
}

loader_request& loader_request::u8(uint8_t v) {
    frame_buffer[len_++] = v;
    return *this;
}

loader_request& loader_request::u16(uint16_t v) {
    le16_put(frame_buffer + len_, v);
    len_ += 2;
    return *this;
}

loader_request& loader_request::u32(uint32_t v) {
    le32_put(frame_buffer + len_, v);
    len_ += 4;
    return *this;
}

loader_request& loader_request::bytes(const uint8_t* src, uint32_t n) {
    if (n != 0) std::memcpy(frame_buffer + len_, src, n);
    len_ += n;
    return *this;
}

uint16_t loader_request::finish() {
    const uint16_t crc = crc16(0, frame_buffer, len_);
    u16(crc);
    return static_cast<uint16_t>(len_);
}

bool loader_payload_fits(uint64_t n) {
    if (n <= FRAME_BUFFER_SIZE - HEADER_BYTES - CRC_BYTES) return true;
    con_err(MSG_PAYLOAD_TOO_LARGE, static_cast<unsigned long long>(n), FRAME_BUFFER_SIZE);
    failure_note(failure_class::input);
    return false;
}

uint16_t crc16_of_buffer(const uint8_t* bytes, uint32_t count) {
    uint16_t crc = 0;
    uint32_t done = 0;
    while (count - done >= CRC_STEP_BYTES) {
        crc = crc16(crc, bytes + done, CRC_STEP_BYTES);
        done += CRC_STEP_BYTES;
    }
    if (count > done) crc = crc16(crc, bytes + done, count - done);
    std::printf("crc16 = %04X\n", crc);
    return crc;
}

int32_t frame_check(const uint8_t* frame, uint16_t length) {
    if (length < CRC_BYTES) {
        con_err(MSG_CRC_ERROR, 0u, static_cast<unsigned>(crc16(0, frame, 0)));
        failure_note(failure_class::link);
        return LOADER_CRC_ERROR;
    }
    const uint16_t computed = crc16(0, frame, length - CRC_BYTES);
    const uint16_t received = le16_get(frame + length - CRC_BYTES);
    if (received == computed) return 0;
    con_err(MSG_CRC_ERROR, static_cast<unsigned>(received), static_cast<unsigned>(computed));
    failure_note(failure_class::link);
    return LOADER_CRC_ERROR;
}

uint16_t loader_transact(uint16_t request_len, uint16_t reply_len, timeout_stretch stretch,
                         uint32_t stretch_ms) {
    uint32_t saved = 0;
    bool changed = false;
    if (stretch != timeout_stretch::none) {
        link_get_timeout(&saved);
        changed = stretch == timeout_stretch::when_greater ? stretch_ms > saved
                                                            : stretch_ms != saved;
        if (changed) {
            std::printf(MSG_SET_TIMEOUT, static_cast<int>(stretch_ms));
            link_set_timeout(stretch_ms);
        }
    }
    loader_request_code = le16_get(frame_buffer + 1);
    link_write(frame_buffer, request_len);
    const uint16_t got = link_read(frame_buffer, reply_len);
    if (changed) link_set_timeout(saved);
    return got;
}

int32_t loader_check_count(uint16_t need, uint16_t got) {
    if (got < need) {
        con_err(MSG_RECV_TIMEOUT, static_cast<int>(need), static_cast<int>(got));
        failure_note(failure_class::link);
        return LOADER_SHORT_REPLY;
    }
    // A module that does not echo the request in the answer's first bytes
    // is taken at its word; one that answers with the marker and another
    // code has answered an earlier request late, and this request's answer
    // is still owed.
    const uint16_t code = le16_get(frame_buffer + 1);
    if (frame_buffer[0] != LOADER_FRAME_MARKER || code == loader_request_code) return 0;
    con_err(MSG_FOREIGN_ANSWER, static_cast<unsigned>(code), static_cast<unsigned>(loader_request_code));
    failure_note(failure_class::link);
    link_owe_answer(need);
    return LOADER_SHORT_REPLY;
}

uint8_t loader_status() { return frame_buffer[LOADER_STATUS_OFFSET]; }

int32_t loader_check_status(const char* msg, int32_t result, failure_class status_class) {
    const uint8_t status = loader_status();
    if (status == 0) return 0;
    con_err(msg, static_cast<int>(status));
    failure_note(status_class);
    return result;
}

int32_t loader_exchange(uint16_t request_len, const loader_reply& reply, timeout_stretch stretch,
                        uint32_t stretch_ms) {
    const uint16_t got = loader_transact(request_len, reply.length, stretch, stretch_ms);
    int32_t r = loader_check_count(reply.length, got);
    if (r == 0) r = frame_check(frame_buffer, reply.length);
    if (r == 0) r = loader_check_status(reply.status_msg, reply.status_result, reply.status_class);
    return r;
}

int32_t loader_program_pieces(const loader_transfer& t, uint32_t addr, uint32_t len,
                              const uint8_t* bytes) {
    return for_each_piece(addr, len, [&](uint32_t at, uint32_t n, uint32_t offset) {
        std::printf("%s", t.announce);
        const uint16_t request =
            loader_request(t.code).u32(at).u32(n).bytes(bytes + offset, n).finish();
        return loader_exchange(request, {LOADER_REPLY_BARE, t.status_msg, t.status_result});
    });
}

int32_t loader_read_pieces(const loader_transfer& t, uint32_t addr, uint32_t len, uint8_t* dest) {
    return for_each_piece(addr, len, [&](uint32_t at, uint32_t n, uint32_t offset) {
        std::printf("%s", t.announce);
        const uint16_t request = loader_request(t.code).u32(at).u32(n).finish();
        const loader_reply reply{static_cast<uint16_t>(n + LOADER_REPLY_BARE), t.status_msg,
                                 t.status_result};
        const int32_t r = loader_exchange(request, reply);
        if (r == 0) std::memcpy(dest + offset, frame_buffer + LOADER_DATA_OFFSET, n);
        return r;
    });
}

uint32_t loader_erase_timeout_ms(uint32_t size) {
    const uint32_t product = size * LOADER_ERASE_SIZE_FACTOR;  // wraps in 32 bits
    return LOADER_ERASE_MS_PER_STEP * (product >> LOADER_ERASE_SIZE_SHIFT);
}

int32_t loader_erase_range(const loader_erase& e, uint32_t addr, uint32_t size) {
    std::printf("%s", e.announce);
    const uint16_t request = loader_request(e.code).u32(addr).u32(size).finish();
    const loader_reply reply{LOADER_REPLY_BARE, e.status_msg, e.status_result};
    if (!e.stretch_by_size) return loader_exchange(request, reply);
    return loader_exchange(request, reply, timeout_stretch::when_greater,
                           loader_erase_timeout_ms(size));
}

uint32_t loader_read_flash_id(uint16_t code, const char* status_msg) {
    const uint16_t request = loader_request(code).finish();
    const uint16_t got = loader_transact(request, LOADER_REPLY_FLASH_ID);
    // The ID response carries no CRC check, but a short one holds stale
    // bytes where the status and ID should be: it is a failure.
    if (loader_check_count(LOADER_REPLY_FLASH_ID, got) != 0) return FLASH_ID_FAIL;
    if (loader_check_status(status_msg, 1) != 0) return FLASH_ID_FAIL;
    return le24_get(frame_buffer + LOADER_DATA_OFFSET);
}

int32_t loader_verify_crc(uint16_t code, const char* status_msg, int32_t status_result,
                          uint32_t addr, uint32_t len, uint16_t crc) {
    const uint16_t request = loader_request(code).u32(addr).u32(len).u16(crc).finish();
    record_verify_crc(addr, crc);
    // A status here says the flash does not hold the bytes.
    return loader_exchange(request, {LOADER_REPLY_BARE, status_msg, status_result, failure_class::verify});
}
