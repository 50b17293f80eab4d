// The loader's frame layer, shared by the internal and external operations:
// request building in frame_buffer, the exchange cycle with its optional
// time-out stretch, the checks of a response, and split transfers.
#pragma once
#include <cstdint>

#include "protocol/flash_limits.h"
#include "protocol/loader.h"
#include "record/failure.h"

// Response layout: 3 bytes, status, 4 bytes, data, CRC-16.
constexpr uint32_t LOADER_STATUS_OFFSET = 3;
constexpr uint32_t LOADER_DATA_OFFSET = 8;
constexpr uint16_t LOADER_REPLY_BARE = 10;  // a response without data
constexpr uint16_t LOADER_REPLY_FLASH_ID = 14;
constexpr uint16_t LOADER_REPLY_PROPERTY = 54;

constexpr int32_t LOADER_SHORT_REPLY = 2;
constexpr int32_t LOADER_CRC_ERROR = -1;
constexpr int32_t LOADER_REFUSED = -1;

// Builds one request in frame_buffer: marker, code, payload, CRC-16. The
// payload must fit (callers check sizes with loader_payload_fits first).
class loader_request {
public:
    explicit loader_request(uint16_t code);
    loader_request& u8(uint8_t v);
    loader_request& u16(uint16_t v);
    loader_request& u32(uint32_t v);
    loader_request& bytes(const uint8_t* src, uint32_t n);
    // Appends the CRC-16 and returns the whole frame length.
    uint16_t finish();

private:
    uint32_t len_;
};

// True when a payload of n bytes fits a request; else prints why and false.
bool loader_payload_fits(uint64_t n);

// How an operation changes the serial read time-out for its one exchange.
enum class timeout_stretch : uint8_t {
    none,
    when_greater,    // size-based erases: only a longer time-out is set
    when_different,  // fixed time-out: set unless already in force
};

// Sends the request of request_len bytes in frame_buffer and reads reply_len
// bytes over it, stretching the time-out for this exchange when asked and
// restoring it afterwards whatever arrived. The count received.
uint16_t loader_transact(uint16_t request_len, uint16_t reply_len,
                         timeout_stretch stretch = timeout_stretch::none,
                         uint32_t stretch_ms = 0);

// The code of the request last sent (its answer should echo it).
extern uint16_t loader_request_code;

// The checks of a response, each printing its own message on failure.
// loader_check_count: 0, or 2 when fewer than `need` bytes arrived or the
// answer carries the marker with another request's code.
int32_t loader_check_count(uint16_t need, uint16_t got);
int32_t loader_check_status(const char* msg, int32_t result,
                            failure_class status_class = failure_class::module);  // 0 or result
uint8_t loader_status();

// What one operation expects of its response.
struct loader_reply {
    uint16_t length;          // bytes expected
    const char* status_msg;   // printed with the status when it is not 0
    int32_t status_result;    // result for a non-zero status
    failure_class status_class = failure_class::module;  // noted with it
};

// The whole cycle: transact, then count, CRC and status checks. 0 means the
// response is sound and any data lies at frame_buffer + LOADER_DATA_OFFSET.
int32_t loader_exchange(uint16_t request_len, const loader_reply& reply,
                        timeout_stretch stretch = timeout_stretch::none,
                        uint32_t stretch_ms = 0);

// The operation-specific parts of a split read or program.
struct loader_transfer {
    uint16_t code;
    const char* announce;     // printed before each piece
    const char* status_msg;
    int32_t status_result;
};

// Split transfers over packet_size: the first failing piece ends the whole
// operation with its result; a length of 0 sends nothing.
int32_t loader_program_pieces(const loader_transfer& t, uint32_t addr, uint32_t len,
                              const uint8_t* bytes);
int32_t loader_read_pieces(const loader_transfer& t, uint32_t addr, uint32_t len,
                           uint8_t* dest);

// An erase of a range: "address and size" request, bare response.
struct loader_erase {
    uint16_t code;
    const char* announce;
    const char* status_msg;
    int32_t status_result;
    bool stretch_by_size;  // internal erases wait longer for larger ranges
};

int32_t loader_erase_range(const loader_erase& e, uint32_t addr, uint32_t size);

// Time-out for an erase of `size` bytes: 1000 * ((size * 200) >> 24) ms, the
// product taken in 32 bits as the loader's host side has always done.
uint32_t loader_erase_timeout_ms(uint32_t size);

// A bare request with a flash ID response: the 24-bit ID, or 0xFFFFFF.
uint32_t loader_read_flash_id(uint16_t code, const char* status_msg);

// A verify request: address, length and the CRC-16 of the expected bytes.
int32_t loader_verify_crc(uint16_t code, const char* status_msg, int32_t status_result,
                          uint32_t addr, uint32_t len, uint16_t crc);
