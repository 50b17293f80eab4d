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
        if (ExchangePacket(PROBE_TEXTS, bPortId, slots[i], req.bytes, req.len, PAUSE_MS, reply, &wLen) !=
            EXCHANGE_OK)
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
    std::memset(m_GoldenRsp, REPLY_BYTE_FILL, sizeof m_GoldenRsp);
    Request req(OP_GOLDEN_INFO);
    req.Add(m_bChannel);
    req.Add(m_bDUTType);
    req.Frame();
    uint16_t wLen = 0;
    const ExchangeFailure f =
        ExchangePacket(GOLDEN_INFO_TEXTS, 0, m_hGoldenPort, req.bytes, req.len, PAUSE_MS, m_GoldenRsp, &wLen);
    // A failed attempt leaves no usable reply: the record is absent, so the
    // chain cannot forward a partly overwritten buffer.
    m_wGoldenRspLen = f == EXCHANGE_OK ? wLen : 0;
    return f == EXCHANGE_OK ? 0 : GoldenInfoResult(f);
}

int CCalibrateOper::GetDUTInfo() {
    std::memset(m_DUTRsp, REPLY_BYTE_FILL, sizeof m_DUTRsp);
    if (m_wGoldenRspLen < REPLY_MIN_LEN) {
        m_wDUTRspLen = 0;
        TunerLog(L"GetDUTInfo: Get DUT info failed (%d)\n", static_cast<int>(m_wGoldenRspLen));
        return -1;
    }
    const uint8_t bPayload = static_cast<uint8_t>(m_wGoldenRspLen - REPLY_MIN_LEN);
    Request req(OP_DUT_INFO);
    req.Add(m_GoldenRsp + REPLY_PAYLOAD_AT, bPayload);
    req.Frame();
    uint16_t wLen = 0;
    const ExchangeFailure f =
        ExchangePacket(DUT_INFO_TEXTS, 0, m_hDUTPort, req.bytes, req.len, PAUSE_MS, m_DUTRsp, &wLen);
    m_wDUTRspLen = f == EXCHANGE_OK ? wLen : 0;
    return f == EXCHANGE_OK ? 0 : OperationResult(f);
}

int CCalibrateOper::VefifyDUTInfo() {
    std::memset(m_VerifyRsp, REPLY_BYTE_FILL, sizeof m_VerifyRsp);
    if (m_wDUTRspLen < REPLY_MIN_LEN) {
        m_wVerifyRspLen = 0;
        TunerLog(L"VefifyDUTInfo: Get DUT info failed (%d)\n", static_cast<int>(m_wDUTRspLen));
        return -1;
    }
    const uint8_t bPayload = static_cast<uint8_t>(m_wDUTRspLen - REPLY_MIN_LEN);
    Request req(OP_VERIFY);
    req.Add(m_DUTRsp + REPLY_PAYLOAD_AT, bPayload);
    req.Frame();
    uint16_t wLen = 0;
    const ExchangeFailure f = ExchangePacket(VERIFY_TEXTS, 0, m_hGoldenPort, req.bytes, req.len,
                                             VERIFY_PAUSE_MS, m_VerifyRsp, &wLen);
    m_wVerifyRspLen = f == EXCHANGE_OK ? wLen : 0;
    return f == EXCHANGE_OK ? 0 : OperationResult(f);
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
    req.Frame();
    uint8_t reply[REPLY_BUFFER_BYTES];
    std::memset(reply, REPLY_BYTE_FILL, sizeof reply);
    uint16_t wLen = 0;
    const ExchangeFailure f =
        ExchangePacket(CALIBRATE_TEXTS, 0, m_hDUTPort, req.bytes, req.len, CALIBRATE_PAUSE_MS, reply, &wLen);
    if (f != EXCHANGE_OK) return OperationResult(f);
    *lpbResult = reply[REPLY_PAYLOAD_AT];
    return 0;
}

int CCalibrateOper::RebootGoldenSample() {
    Request req(OP_REBOOT);
    req.Frame();
    uint8_t reply[REPLY_BUFFER_BYTES];
    std::memset(reply, REPLY_BYTE_FILL, sizeof reply);
    uint16_t wLen = 0;
    const ExchangeFailure f =
        ExchangePacket(REBOOT_TEXTS, 0, m_hGoldenPort, req.bytes, req.len, PAUSE_MS, reply, &wLen);
    return f == EXCHANGE_OK ? 0 : OperationResult(f);
}

int CCalibrateOper::SetDUTMacAddress(const uint8_t* lpMACBuf, uint8_t /*len*/) {
    Request req(OP_SET_MAC);
    req.Add(lpMACBuf, MAC_BYTES);
    req.Frame();
    uint8_t reply[REPLY_BUFFER_BYTES];
    std::memset(reply, REPLY_BYTE_FILL, sizeof reply);
    uint16_t wLen = 0;
    const ExchangeFailure f =
        ExchangePacket(SET_MAC_TEXTS, 0, m_hDUTPort, req.bytes, req.len, PAUSE_MS, reply, &wLen);
    return f == EXCHANGE_OK ? 0 : OperationResult(f);
}
