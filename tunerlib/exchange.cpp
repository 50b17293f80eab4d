#include "tunerlib/exchange.h"

#include "common/crc16.h"
#include "common/le.h"
#include "tunerlib/calibrate_oper.h"
#include "tunerlib/log.h"

#define TEXT_SENT5 L" data %02X, %02X, %02X, %02X, %02X)\n"
#define TEXT_SENT7 L" data %02X, %02X, %02X, %02X, %02X, %02X, %02X)\n"
#define TEXT_SENT8 L" data %02X, %02X, %02X, %02X, %02X, %02X, %02X, %02X)\n"
#define TEXT_DUMP L"%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x\n"

// The lines of an operation (not the probe): NAME its name, RCV "Rcv" or
// "Recv", GAP the blanks before the header-retry line's text, SHORT the
// short-write line's text behind the name, SENT the values of the sent line,
// STATUS the status line's text behind the name.
#define OPERATION_TEXTS(NAME, RCV, GAP, SHORT, SHOWS_LENGTH, SENT, STATUS)                   \
    {                                                                                       \
        NAME L": Open port first\n", NAME L": WriteFile failed (%d)\n", NAME SHORT,         \
            SHOWS_LENGTH, NAME L": Send" SENT,                                              \
            NAME L":" GAP L"ReadFile less than 8 bytes (%d), try once\n",                   \
            NAME L": ReadFile less than 8 bytes (%d), failed\n",                            \
            NAME L": " RCV L" packet type is 0x%02x\n",                                     \
            NAME L": " RCV L" payload length (%u) too long, at most 246\n",                 \
            NAME L": ReadFile no more event len data (%d), read only %d bytes\n",           \
            NAME L": ReadFile bytes(%d) less than EventLen(%d), try once\n", TEXT_DUMP,     \
            NAME L": ReadFile crc check failed, calc rc(%02x): rcv crc(%02x)\n",            \
            NAME STATUS, NAME L": ReadFile failed (%d)\n", false                            \
    }

const ExchangeTexts GOLDEN_INFO_TEXTS = OPERATION_TEXTS(
    L"GetGoldenInfo", L"Rcv", L" ", L": Write data less than 7 byte:(%d)\n", false, TEXT_SENT7,
    L": Get Golden Info failed, status(%d)\n");
const ExchangeTexts DUT_INFO_TEXTS = OPERATION_TEXTS(
    L"GetDUTInfo", L"Recv", L"  ", L": Write data less than DUTCmdLen(%d) byte:(%d)\n", true,
    TEXT_SENT8, L": Get DUT Info failed, status(%d)\n");
const ExchangeTexts VERIFY_TEXTS = OPERATION_TEXTS(
    L"VefifyDUTInfo", L"Recv", L"  ", L": Write data less than DUTCmdLen(%d) byte:(%d)\n", true,
    TEXT_SENT8, L": Verfiy DUT Info failed, status(%d)\n");
const ExchangeTexts CALIBRATE_TEXTS = OPERATION_TEXTS(
    L"StartDUTCalibrate", L"Recv", L"  ", L": Write data less than CalibCmdLen(%d) byte:(%d)\n",
    true, TEXT_SENT8, L": Calibrate failed, status(%d)\n");
const ExchangeTexts REBOOT_TEXTS = OPERATION_TEXTS(
    L"RebootGoldenSample", L"Rcv", L" ", L": Write data less than 5 byte:(%d)\n", false, TEXT_SENT5,
    L": Get Golden Info failed, status(%d)\n");
// The set-MAC request is 11 bytes; its short-write line says 5 all the same.
const ExchangeTexts SET_MAC_TEXTS = OPERATION_TEXTS(
    L"SetDUTMacAddress", L"Rcv", L" ", L": Write data less than 5 byte:(%d)\n", false, TEXT_SENT5,
    L": Get Golden Info failed, status(%d)\n");

const ExchangeTexts PROBE_TEXTS = {
    nullptr,
    L"FindDevicePortId: WriteFile portId(%d) failed (%d)\n",
    L"FindDevicePortId: Write portId(%d) data less than 5 byte:(%d)\n",
    false,
    L"FindDevicePortId: Send portId(%d)" TEXT_SENT5,
    L"FindDevicePortId:  ReadFile portId(%d) less than 8 bytes (%d), try once\n",
    L"FindDevicePortId: ReadFile portId(%d) less than 8 bytes (%d), failed\n",
    L"FindDevicePortId: Recv portId(%d) packet type is 0x%02x\n",
    L"FindDevicePortId: Recv portId(%d) payload length (%u) too long, at most 246\n",
    L"FindDevicePortId: ReadFile portId(%d) no more event len data (%d), read only %d bytes\n",
    L"FindDevicePortId: ReadFile portId(%d) bytes(%d) less than EventLen(%d), try once\n",
    L"portId(%d) " TEXT_DUMP,
    L"FindDevicePortId: ReadFile portId(%d) crc check failed, calc rc(%02x): rcv crc(%02x)\n",
    L"FindDevicePortId: Find device portId(%d) failed, status(%d)\n",
    L"FindDevicePortId: ReadFile portId(%d) failed (%d)\n",
    true,
};

namespace {

// Logs a line of the operation; the probe's lines get the port id first.
template <typename... Args>
void Say(const ExchangeTexts& texts, uint8_t bPortId, const wchar_t* pszFormat, Args... args) {
    if (texts.bProbe)
        TunerLog(pszFormat, static_cast<int>(bPortId), args...);
    else
        TunerLog(pszFormat, args...);
}

// Sends the request and waits the pause before its reply is read.
ExchangeFailure SendRequest(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort,
                            const uint8_t* lpbRequest, uint32_t dwRequestLen, uint32_t dwPauseMs) {
    if (!texts.bProbe) {
        if (hPort == nullptr) {
            TunerLog(texts.pszPortNotOpen);
            return F1_PORT_NOT_OPEN;
        }
        // Whatever an earlier failed exchange left unread goes now.
        plat_serial_purge_input(hPort, false);
    }
    uint32_t dwWritten = 0;
    if (plat_serial_write_some(hPort, lpbRequest, dwRequestLen, &dwWritten) != 0) {
        Say(texts, bPortId, texts.pszWriteFailed, static_cast<int>(plat_last_error()));
        return F2_WRITE_FAILED;
    }
    if (dwWritten != dwRequestLen) {
        if (texts.bShortWriteShowsLength)
            Say(texts, bPortId, texts.pszShortWrite, static_cast<int>(dwRequestLen & 0xFF),
                static_cast<int>(dwWritten));
        else
            Say(texts, bPortId, texts.pszShortWrite, static_cast<int>(dwWritten));
        return F3_SHORT_WRITE;
    }
    Say(texts, bPortId, texts.pszSent, lpbRequest[0], lpbRequest[1], lpbRequest[2], lpbRequest[3],
        lpbRequest[4], lpbRequest[5], lpbRequest[6], lpbRequest[7]);
    plat_sleep_ms(dwPauseMs);
    return EXCHANGE_OK;
}

// The header: two reads at most, each asking for 8 bytes, so up to 15 bytes
// can be in the buffer afterwards (*lpdwReceived).
ExchangeFailure ReadHeader(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort, uint8_t* lpbReply,
                           uint32_t* lpdwReceived) {
    for (bool bRetry = true;; bRetry = false) {
        uint32_t dwGot = 0;
        if (plat_serial_read_some(hPort, lpbReply + *lpdwReceived, REPLY_HEADER_BYTES, &dwGot) != 0) {
            Say(texts, bPortId, texts.pszReadFailed, static_cast<int>(plat_last_error()));
            return F10_HEADER_READ_FAILED;
        }
        *lpdwReceived += dwGot;
        if (*lpdwReceived >= REPLY_HEADER_BYTES) return EXCHANGE_OK;
        if (!bRetry) {
            Say(texts, bPortId, texts.pszHeaderFailed, static_cast<int>(*lpdwReceived));
            plat_serial_purge_input(hPort, true);
            return F4_HEADER_SHORT;
        }
        Say(texts, bPortId, texts.pszHeaderRetry, static_cast<int>(*lpdwReceived));
    }
}

// The header's packet type and declared payload; the whole reply's length in
// *lpwEventLen. A payload that does not fit the reply buffer is refused before
// anything more is read; the rest of it is discarded.
ExchangeFailure CheckHeader(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort,
                            const uint8_t* lpbReply, uint16_t* lpwEventLen) {
    if (lpbReply[0] != PACKET_TYPE) {
        Say(texts, bPortId, texts.pszPacketType, static_cast<int>(lpbReply[0]));
        return F5_PACKET_TYPE;
    }
    const uint32_t dwPayloadLen = le32_get(lpbReply + 4);
    if (dwPayloadLen > REPLY_PAYLOAD_MAX) {
        Say(texts, bPortId, texts.pszTooLong, dwPayloadLen);
        plat_serial_purge_input(hPort, true);
        return F_REPLY_TOO_LONG;
    }
    *lpwEventLen = static_cast<uint16_t>(dwPayloadLen + REPLY_MIN_LEN);
    return EXCHANGE_OK;
}

// The rest of the reply: two reads at most.
ExchangeFailure ReadRemainder(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort,
                              uint8_t* lpbReply, uint32_t dwReceived, uint16_t wEventLen) {
    for (bool bRetry = true; dwReceived < wEventLen; bRetry = false) {
        uint32_t dwGot = 0;
        if (plat_serial_read_some(hPort, lpbReply + dwReceived, wEventLen - dwReceived, &dwGot) != 0) {
            Say(texts, bPortId, texts.pszNoMoreData, static_cast<int>(wEventLen),
                static_cast<int>(dwReceived));
            return F6_REMAINDER_READ_FAILED;
        }
        dwReceived += dwGot;
        if (dwReceived >= wEventLen) break;
        if (!bRetry) {
            plat_serial_purge_input(hPort, true);
            return F7_REMAINDER_SHORT;
        }
        Say(texts, bPortId, texts.pszRemainderRetry, static_cast<int>(dwReceived),
            static_cast<int>(wEventLen));
    }
    return EXCHANGE_OK;
}

// The whole reply's CRC and its status.
ExchangeFailure CheckReply(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort,
                           const uint8_t* lpbReply, uint16_t wEventLen) {
    const uint16_t wCalc = crc16(0, lpbReply, wEventLen - 2u);
    const uint16_t wRcv = le16_get(lpbReply + wEventLen - 2);
    if (wCalc != wRcv) {
        Say(texts, bPortId, texts.pszDump, lpbReply[0], lpbReply[1], lpbReply[2], lpbReply[3],
            lpbReply[4], lpbReply[5], lpbReply[6], lpbReply[7], lpbReply[8], lpbReply[9]);
        Say(texts, bPortId, texts.pszCrc, static_cast<int>(wCalc), static_cast<int>(wRcv));
        plat_serial_purge_input(hPort, true);
        return F8_CRC;
    }
    if (lpbReply[3] != 0) {
        Say(texts, bPortId, texts.pszStatus, static_cast<int>(lpbReply[3]));
        return F9_STATUS;
    }
    return EXCHANGE_OK;
}

}  // namespace

uint32_t FrameRequest(uint8_t* lpbRequest, uint32_t len) {
    le16_put(lpbRequest + len, crc16(0, lpbRequest, len));
    return len + 2;
}

ExchangeFailure ExchangePacket(const ExchangeTexts& texts, uint8_t bPortId, plat_serial_handle hPort,
                               const uint8_t* lpbRequest, uint32_t dwRequestLen, uint32_t dwPauseMs,
                               uint8_t* lpbReply, uint16_t* lpwEventLen) {
    ExchangeFailure f = SendRequest(texts, bPortId, hPort, lpbRequest, dwRequestLen, dwPauseMs);
    uint32_t dwReceived = 0;
    if (f == EXCHANGE_OK) f = ReadHeader(texts, bPortId, hPort, lpbReply, &dwReceived);
    uint16_t wEventLen = 0;
    if (f == EXCHANGE_OK) f = CheckHeader(texts, bPortId, hPort, lpbReply, &wEventLen);
    if (f == EXCHANGE_OK) f = ReadRemainder(texts, bPortId, hPort, lpbReply, dwReceived, wEventLen);
    if (f == EXCHANGE_OK) f = CheckReply(texts, bPortId, hPort, lpbReply, wEventLen);
    if (f == EXCHANGE_OK) *lpwEventLen = wEventLen;
    return f;
}

int OperationResult(ExchangeFailure f) {
    if (f == F_REPLY_TOO_LONG) f = F5_PACKET_TYPE;
    return -static_cast<int>(f);
}

int GoldenInfoResult(ExchangeFailure f) {
    if (f == F_REPLY_TOO_LONG) f = F5_PACKET_TYPE;
    return -static_cast<int>(f) - 1;
}
