// tunerlib's reply exchange: one request to a golden sample whose reply comes
// from the fuzz input (see fake_platform.h for the record format). A reply
// taken as sound carries the packet type, exactly the length its header
// declares, fits the reply buffer, has a matching CRC-16 and status 0.
#include <cstdlib>
#include <cstring>

#include "common/crc16.h"
#include "fake_platform.h"
#include "tunerlib/calibrate_oper.h"
#include "tunerlib/exchange.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::quiet_tunerlib_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::serve(data, size);
    uint8_t request[REQUEST_BUFFER_BYTES] = {PACKET_TYPE, OP_GOLDEN_INFO, REQUEST_TAG};
    const uint32_t request_len = FrameRequest(request, 8);
    uint8_t reply[REPLY_BUFFER_BYTES];
    std::memset(reply, 0xCC, sizeof reply);
    uint16_t event_len = 0;
    const ExchangeFailure f =
        ExchangePacket(GOLDEN_INFO_TEXTS, 1, fake::port(), request, request_len, PAUSE_MS, reply, &event_len);
    if (f == EXCHANGE_OK) {
        const uint32_t declared = reply[4] | reply[5] << 8 | reply[6] << 16 | static_cast<uint32_t>(reply[7]) << 24;
        if (reply[0] != PACKET_TYPE || event_len > REPLY_BUFFER_BYTES || declared + REPLY_MIN_LEN != event_len)
            std::abort();
        if (crc16(0, reply, event_len - 2u) != (reply[event_len - 2] | reply[event_len - 1] << 8) || reply[3] != 0)
            std::abort();
    }
    return 0;
}
