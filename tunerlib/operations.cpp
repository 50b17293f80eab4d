// The module's life, the identification probe and the calibration chain:
// requests built from the stored replies, replies stored for the next step.
#include <cstring>
#include <vector>

#include "tunerlib/calibrate_oper.h"
#include "tunerlib/exchange.h"
#include "tunerlib/log.h"

namespace {

constexpr uint8_t CHANNEL_MAX = 39;
constexpr uint32_t MAC_BYTES = 6;
constexpr size_t PROBE_SLOTS = 256;
constexpr uint8_t REPLY_BYTE_FILL = 0xFF;
// Offset of the payload in a reply, and of the parameters in a request.
constexpr uint32_t REPLY_PAYLOAD_AT = 8;
constexpr uint32_t REQUEST_PARAMS_AT = 3;

const OpenTexts PROBE_OPEN_TEXTS = {
    L"FindDevicePortId: Get port name failed, portId(%d)\n",
    L"FindDevicePortId: Failed to open Port[%s], error (%d)\n",
    L"FindDevicePortId: GetCommState portId(%d) failed (%d)\n",
    L"FindDevicePortId: SetCommState portId(%d) failed (%d)\n",
    L"FindDevicePortId: SetCommTimeouts portId(%d) failed (%d)\n",
    true,
};

// A request buffer, zero-filled, with the packet type, the opcode and the
// tag in place; parameters go from REQUEST_PARAMS_AT on.
struct Request {
    uint8_t bytes[REQUEST_BUFFER_BYTES];
    uint32_t len;
    explicit Request(uint8_t bOpcode) : bytes{}, len(REQUEST_PARAMS_AT) {
        bytes[0] = PACKET_TYPE;
        bytes[1] = bOpcode;
        bytes[2] = REQUEST_TAG;
    }
    void Add(const uint8_t* p, uint32_t n) {
        std::memcpy(bytes + len, p, n);
        len += n;
    }
    void Add(uint8_t b) { bytes[len++] = b; }
    uint32_t Frame() { return len = FrameRequest(bytes, len); }
};

// Sends the request and reads its reply into `reply` (REPLY_BUFFER_BYTES,
// filled first); its length in *lpwLen.
ExchangeFailure Exchange(const ExchangeTexts& texts, plat_serial_handle hPort, Request& req, uint32_t dwPauseMs,
                         uint8_t* reply, uint16_t* lpwLen) {
    req.Frame();
    std::memset(reply, REPLY_BYTE_FILL, REPLY_BUFFER_BYTES);
    *lpwLen = 0;
    return ExchangePacket(texts, 0, hPort, req.bytes, req.len, dwPauseMs, reply, lpwLen);
}

// An exchange whose reply is only judged, not kept.
int ExchangeForResult(const ExchangeTexts& texts, plat_serial_handle hPort, Request& req) {
    uint8_t reply[REPLY_BUFFER_BYTES];
    uint16_t wLen = 0;
    const ExchangeFailure f = Exchange(texts, hPort, req, PAUSE_MS, reply, &wLen);
    return f == EXCHANGE_OK ? 0 : OperationResult(f);
}

// A step of the calibration chain that forwards the payload of the reply
// the step before stored.
struct ChainStep {
    uint8_t bOpcode;
    const ExchangeTexts& texts;
    uint32_t dwPauseMs;
    const wchar_t* pszNoReply;  // logged when the step before left no reply
};

const ChainStep DUT_INFO_STEP = {OP_DUT_INFO, DUT_INFO_TEXTS, PAUSE_MS, L"GetDUTInfo: Get DUT info failed (%d)\n"};
const ChainStep VERIFY_STEP = {OP_VERIFY, VERIFY_TEXTS, VERIFY_PAUSE_MS,
                               L"VefifyDUTInfo: Get DUT info failed (%d)\n"};

// Runs a chain step: the reply `from` (wFromLen bytes) forwarded, this step's
// reply stored in `to` with its length, or no reply (length 0) on a failure.
int ForwardStep(const ChainStep& step, plat_serial_handle hPort, const uint8_t* from, uint16_t wFromLen, uint8_t* to,
                uint16_t* lpwToLen) {
    std::memset(to, REPLY_BYTE_FILL, REPLY_BUFFER_BYTES);
    *lpwToLen = 0;
    if (wFromLen < REPLY_MIN_LEN) {
        TunerLog(step.pszNoReply, static_cast<int>(wFromLen));
        return -1;
    }
    Request req(step.bOpcode);
    req.Add(from + REPLY_PAYLOAD_AT, static_cast<uint8_t>(wFromLen - REPLY_MIN_LEN));
    uint16_t wLen = 0;
    const ExchangeFailure f = Exchange(step.texts, hPort, req, step.dwPauseMs, to, &wLen);
    if (f != EXCHANGE_OK) return OperationResult(f);
    *lpwToLen = wLen;
    return 0;
}

void CopyIds(const std::vector<uint8_t>& ids, uint8_t* lpbBuf, uint8_t* lpbNum) {
    const size_t n = ids.size() < *lpbNum ? ids.size() : *lpbNum;
    for (size_t k = 0; k < n; ++k) lpbBuf[k] = ids[k];
    *lpbNum = static_cast<uint8_t>(n);
}

}  // namespace

CCalibrateOper::CCalibrateOper()
    : m_bPortNum(0),
      m_wGoldenRspLen(0),
      m_wDUTRspLen(0),
      m_wVerifyRspLen(0),
      m_hGoldenPort(nullptr),
      m_hDUTPort(nullptr),
      m_bChannel(0),
      m_bDUTType(ROLE_DUT) {
    std::memset(m_GoldenRsp, REPLY_BYTE_FILL, sizeof m_GoldenRsp);
    std::memset(m_DUTRsp, REPLY_BYTE_FILL, sizeof m_DUTRsp);
    std::memset(m_VerifyRsp, REPLY_BYTE_FILL, sizeof m_VerifyRsp);
}

// Ports still open are closed: their handles would leak and the ports stay
// locked against the next module.
CCalibrateOper::~CCalibrateOper() {
    CloseGoldenSamplePort();
    CloseDUTPort();
}

int CCalibrateOper::FindDevicePortId(uint8_t* lpbGoldenBuf, uint8_t* bGoldenNum, uint8_t* lpbDUTBuf,
                                     uint8_t* bDUTNum) {
    // Each probe reports the modules attached now.
    m_GoldenPortIds.clear();
    m_DUTPortIds.clear();
    if (m_bPortNum == 0) {
        TunerLog(L"FindDevicePortId: No port attached\n");
        return -1;
    }
    std::vector<plat_serial_handle> slots(PROBE_SLOTS, nullptr);
    for (unsigned i = 0; i < m_bPortNum; ++i) {
        const uint8_t bPortId = static_cast<uint8_t>(i);
        if (OpenPortById(bPortId, &slots[i], GOLDEN_READ_CONSTANT_MS, PROBE_OPEN_TEXTS) != 0) continue;
        Request req(OP_IDENTIFY);
        req.Frame();
        uint8_t reply[REPLY_BUFFER_BYTES];
        std::memset(reply, REPLY_BYTE_FILL, sizeof reply);
        uint16_t wLen = 0;
        if (ExchangePacket(PROBE_TEXTS, bPortId, slots[i], req.bytes, req.len, PAUSE_MS, reply, &wLen) != EXCHANGE_OK)
            continue;
        InsertDevicePortId(reply[REPLY_PAYLOAD_AT], bPortId);
    }
    for (plat_serial_handle& h : slots) {
        plat_serial_close(h);
        h = nullptr;
    }
    CopyIds(m_GoldenPortIds, lpbGoldenBuf, bGoldenNum);
    CopyIds(m_DUTPortIds, lpbDUTBuf, bDUTNum);
    return 0;
}

void CCalibrateOper::InsertDevicePortId(uint8_t bRole, uint8_t bPortId) {
    switch (bRole) {
    case ROLE_GOLDEN:
        m_GoldenPortIds.push_back(bPortId);
        break;
    case ROLE_DUT:
    case ROLE_DUT_SECOND_TYPE:
        m_DUTPortIds.push_back(bPortId);
        m_bDUTType = bRole;
        break;
    default:
        break;
    }
}

int CCalibrateOper::GetGoldenInfo(uint8_t bChannel) {
    if (bChannel > CHANNEL_MAX) {
        TunerLog(L"GetGoldenInfo: input channel(%d) illegal\n", static_cast<int>(bChannel));
        return -1;
    }
    m_bChannel = bChannel;
    Request req(OP_GOLDEN_INFO);
    req.Add(m_bChannel);
    req.Add(m_bDUTType);
    uint16_t wLen = 0;
    const ExchangeFailure f = Exchange(GOLDEN_INFO_TEXTS, m_hGoldenPort, req, PAUSE_MS, m_GoldenRsp, &wLen);
    // A failed attempt leaves no usable reply: the record is absent, so the
    // chain cannot forward a partly overwritten buffer.
    m_wGoldenRspLen = f == EXCHANGE_OK ? wLen : 0;
    return f == EXCHANGE_OK ? 0 : GoldenInfoResult(f);
}

int CCalibrateOper::GetDUTInfo() {
    return ForwardStep(DUT_INFO_STEP, m_hDUTPort, m_GoldenRsp, m_wGoldenRspLen, m_DUTRsp, &m_wDUTRspLen);
}

int CCalibrateOper::VefifyDUTInfo() {
    return ForwardStep(VERIFY_STEP, m_hGoldenPort, m_DUTRsp, m_wDUTRspLen, m_VerifyRsp, &m_wVerifyRspLen);
}

int CCalibrateOper::StartDUTCalibrate(uint8_t bParam, uint8_t* lpbResult) {
    if (m_wVerifyRspLen < REPLY_MIN_LEN) {
        TunerLog(L"StartDUTCalibrate: Get golden sample info failed (%d)\n", static_cast<int>(m_wVerifyRspLen));
        return -1;
    }
    const uint8_t bPayload = static_cast<uint8_t>(m_wVerifyRspLen - REPLY_MIN_LEN);
    Request req(OP_CALIBRATE);
    req.Add(m_VerifyRsp + REPLY_PAYLOAD_AT, bPayload);
    req.Add(m_bChannel);
    req.Add(bParam);
    uint8_t reply[REPLY_BUFFER_BYTES];
    uint16_t wLen = 0;
    const ExchangeFailure f = Exchange(CALIBRATE_TEXTS, m_hDUTPort, req, CALIBRATE_PAUSE_MS, reply, &wLen);
    if (f != EXCHANGE_OK) return OperationResult(f);
    *lpbResult = reply[REPLY_PAYLOAD_AT];
    return 0;
}

int CCalibrateOper::RebootGoldenSample() {
    Request req(OP_REBOOT);
    return ExchangeForResult(REBOOT_TEXTS, m_hGoldenPort, req);
}

int CCalibrateOper::SetDUTMacAddress(const uint8_t* lpMACBuf, uint8_t /*len*/) {
    Request req(OP_SET_MAC);
    req.Add(lpMACBuf, MAC_BYTES);
    return ExchangeForResult(SET_MAC_TEXTS, m_hDUTPort, req);
}
