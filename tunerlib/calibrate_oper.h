// The module: the one object behind the exports, with the port map, the
// port handles, the port-id lists found by the probe and the stored replies
// of the calibration chain.
#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "tunerlib/timing.h"

// Room of every name in the port map, terminator included.
constexpr uint32_t PORT_NAME_CHARS = 256;
// Every reply is received into a buffer of this size.
constexpr uint32_t REPLY_BUFFER_BYTES = 256;
// A stored reply counts as present from this length on (header and CRC).
constexpr uint16_t REPLY_MIN_LEN = 10;

// Role bytes of the identification reply.
constexpr uint8_t ROLE_GOLDEN = 0x12;
constexpr uint8_t ROLE_DUT = 0x11;
constexpr uint8_t ROLE_DUT_SECOND_TYPE = 0x21;

using PortName = std::unique_ptr<wchar_t[]>;
using PortNameList = std::list<PortName>;

// The log lines of one caller of OpenPortById, by open failure.
struct OpenTexts {
    const wchar_t* pszGetName;       // no argument, or the port id (probe)
    const wchar_t* pszOpen;          // path, error number
    const wchar_t* pszGetState;      // error number, or port id and error number (probe)
    const wchar_t* pszSetState;
    const wchar_t* pszSetTimeouts;
    bool bProbe;                     // the lines carry the port id
};

class CCalibrateOper {
public:
    CCalibrateOper();
    ~CCalibrateOper();
    CCalibrateOper(const CCalibrateOper&) = delete;
    CCalibrateOper& operator=(const CCalibrateOper&) = delete;

    // Port map and ports.
    int DetectAttachedPorts(uint8_t* lpbPortNum, wchar_t** lppPortName, uint8_t bNameLen);
    uint8_t SearchAndInsertPortMap(PortNameList& list, const wchar_t* pszPortName);
    void RemoveDetachedPorts(PortNameList& current);
    uint8_t GetPortMapNameByIndex(uint8_t bIndex, wchar_t* pszName, uint32_t dwCapacity);
    int OpenPortById(uint8_t bPortId, plat_serial_handle* phPort, uint32_t dwReadConstant,
                     const OpenTexts& texts);
    int OpenGoldenSamplePort(uint8_t bPortId);
    int OpenDUTPort(uint8_t bPortId);
    void CloseGoldenSamplePort();
    void CloseDUTPort();

    // Golden sample and DUT operations.
    int FindDevicePortId(uint8_t* lpbGoldenBuf, uint8_t* bGoldenNum, uint8_t* lpbDUTBuf,
                         uint8_t* bDUTNum);
    void InsertDevicePortId(uint8_t bRole, uint8_t bPortId);
    int GetGoldenInfo(uint8_t bChannel);
    int GetDUTInfo();
    int VefifyDUTInfo();
    int StartDUTCalibrate(uint8_t bParam, uint8_t* lpbResult);
    int RebootGoldenSample();
    int SetDUTMacAddress(const uint8_t* lpMACBuf, uint8_t len);

    // Members in this order; public so that the state stays visible to the
    // tests.
    std::vector<uint8_t> m_DUTPortIds;
    std::vector<uint8_t> m_GoldenPortIds;
    PortNameList m_PortMap;
    uint8_t m_bPortNum;
    uint8_t m_GoldenRsp[REPLY_BUFFER_BYTES];
    uint16_t m_wGoldenRspLen;
    uint8_t m_DUTRsp[REPLY_BUFFER_BYTES];
    uint16_t m_wDUTRspLen;
    uint8_t m_VerifyRsp[REPLY_BUFFER_BYTES];
    uint16_t m_wVerifyRspLen;
    plat_serial_handle m_hGoldenPort;
    plat_serial_handle m_hDUTPort;
    uint8_t m_bChannel;
    uint8_t m_bDUTType;
};
