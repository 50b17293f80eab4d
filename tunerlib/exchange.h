// The one request/reply exchange of every calibration packet: write the
// request, pause, read the 8-byte header and the rest of the reply with one
// retry each, check the packet type, the length, the CRC and the status.
#pragma once
#include <cstdint>

#include "platform/platform.h"
#include "tunerlib/timing.h"

// Packet type of requests and replies, and the byte behind the opcode.
constexpr uint8_t PACKET_TYPE = 0x87;
constexpr uint8_t REQUEST_TAG = 0x11;
constexpr uint32_t REPLY_HEADER_BYTES = 8;
// The longest payload whose reply fits the 256-byte reply buffer.
constexpr uint32_t REPLY_PAYLOAD_MAX = 246;
// Requests are built in buffers of this size, zero-filled first.
constexpr uint32_t REQUEST_BUFFER_BYTES = 256;

// Opcodes.
constexpr uint8_t OP_GOLDEN_INFO = 0x12;
constexpr uint8_t OP_DUT_INFO = 0x13;
constexpr uint8_t OP_VERIFY = 0x14;
constexpr uint8_t OP_CALIBRATE = 0x15;
constexpr uint8_t OP_IDENTIFY = 0x16;
constexpr uint8_t OP_REBOOT = 0x17;
constexpr uint8_t OP_SET_MAC = 0x18;

// Outcome of an exchange: 0, or failure F1 to F10, or a header that declares
// a reply too long for the buffer (reported with F5's code).
enum ExchangeFailure : int {
    EXCHANGE_OK = 0,
    F1_PORT_NOT_OPEN = 1,
    F2_WRITE_FAILED,
    F3_SHORT_WRITE,
    F4_HEADER_SHORT,
    F5_PACKET_TYPE,
    F6_REMAINDER_READ_FAILED,
    F7_REMAINDER_SHORT,
    F8_CRC,
    F9_STATUS,
    F10_HEADER_READ_FAILED,
    F_REPLY_TOO_LONG,
};

// The log lines of one operation. The probe's lines carry the port id as
// their first argument; the others' do not.
struct ExchangeTexts {
    const wchar_t* pszPortNotOpen;     // none (not used by the probe)
    const wchar_t* pszWriteFailed;     // error number
    const wchar_t* pszShortWrite;      // [request length,] count written
    bool bShortWriteShowsLength;
    const wchar_t* pszSent;            // request bytes 0 to 7 (as many as the text shows)
    const wchar_t* pszHeaderRetry;     // received
    const wchar_t* pszHeaderFailed;    // received
    const wchar_t* pszPacketType;      // byte 0
    const wchar_t* pszTooLong;         // declared payload length
    const wchar_t* pszNoMoreData;      // EventLen, received
    const wchar_t* pszRemainderRetry;  // received, EventLen
    const wchar_t* pszDump;            // reply bytes 0 to 9
    const wchar_t* pszCrc;             // computed, received
    const wchar_t* pszStatus;          // status byte
    const wchar_t* pszReadFailed;      // error number
    bool bProbe;
};

extern const ExchangeTexts PROBE_TEXTS;
extern const ExchangeTexts GOLDEN_INFO_TEXTS;
extern const ExchangeTexts DUT_INFO_TEXTS;
extern const ExchangeTexts VERIFY_TEXTS;
extern const ExchangeTexts CALIBRATE_TEXTS;
extern const ExchangeTexts REBOOT_TEXTS;
extern const ExchangeTexts SET_MAC_TEXTS;

// Appends the CRC (low byte first) behind the `len` bytes of a request
// buffer; the request's length with its CRC.
uint32_t FrameRequest(uint8_t* lpbRequest, uint32_t len);

// One exchange. bPortId is shown by the probe's lines only. On success
// lpbReply (REPLY_BUFFER_BYTES) holds the reply and *lpwEventLen its length.
ExchangeFailure ExchangePacket(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort,
                               const uint8_t* lpbRequest, uint32_t dwRequestLen, uint32_t dwPauseMs,
                               uint8_t* lpbReply, uint16_t* lpwEventLen);

// The result codes: GetGoldenInfo's (F1 -2 ... F10 -11) and the other
// operations' (F1 -1 ... F10 -10). A reply too long gets F5's code.
int GoldenInfoResult(ExchangeFailure f);
int OperationResult(ExchangeFailure f);
