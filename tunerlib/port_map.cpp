// The port map: the serial port names the system reports, in the order in
// which they were first seen; a port id is a name's position in it. Also the
// open-and-configure procedure shared by the golden-sample port, the DUT port
// and the identification probe.
#include <cstring>
#include <cwchar>
#include <iterator>
#include <new>

#include "tunerlib/calibrate_oper.h"
#include "tunerlib/log.h"
#include "tunerlib/timing.h"

namespace {

// Buffers of one port list entry: the value name in wide characters, the
// data in bytes (read as a wide string; one more character keeps it
// terminated whatever the entry holds).
constexpr uint32_t VALUE_NAME_CHARS = 2048;
constexpr uint32_t VALUE_DATA_BYTES = 2048;
constexpr uint32_t VALUE_DATA_CHARS = VALUE_DATA_BYTES / sizeof(wchar_t) + 1;

// The map's count is one byte.
constexpr size_t PORT_MAP_MAX = 255;

// A device path: the platform's prefix ("\\.\" or "/dev/") and any name the
// map can hold.
constexpr size_t PORT_PATH_CHARS = PORT_NAME_CHARS + 8;

constexpr uint32_t LINE_BAUD = 115200;

// Open failures.
constexpr int OPEN_NO_NAME = 1;
constexpr int OPEN_FAILED = 2;
constexpr int OPEN_GET_STATE = 3;
constexpr int OPEN_SET_STATE = 4;
constexpr int OPEN_SET_TIMEOUTS = 5;

const OpenTexts GOLDEN_OPEN_TEXTS = {
    L"OpenGoldenSamplePort: Get port name failed\n",
    L"OpenGoldenSamplePort: Failed to open Port[%s], error (%d)\n",
    L"OpenGoldenSamplePort: GetCommState failed (%d)\n",
    L"OpenGoldenSamplePort: SetCommState failed (%d)\n",
    L"OpenGoldenSamplePort: SetCommTimeouts failed (%d)\n",
    false,
};

const OpenTexts DUT_OPEN_TEXTS = {
    L"OpenDUTPort: Get port name failed\n",
    L"OpenDUTPort: Failed to open Port[%s], error (%d)\n",
    L"OpenDUTPort: GetCommState failed (%d)\n",
    L"OpenDUTPort: SetCommState failed (%d)\n",
    L"OpenDUTPort: SetCommTimeouts failed (%d)\n",
    false,
};

bool Contains(const PortNameList& list, const wchar_t* pszName) {
    for (const PortName& p : list)
        if (std::wcscmp(p.get(), pszName) == 0) return true;
    return false;
}

// The open failure's line with the error number; the probe's lines carry the
// port id first.
void SayOpenFailure(const OpenTexts& texts, const wchar_t* pszFormat, uint8_t bPortId) {
    const int nError = static_cast<int>(plat_last_error());
    if (texts.bProbe)
        TunerLog(pszFormat, static_cast<int>(bPortId), nError);
    else
        TunerLog(pszFormat, nError);
}

}  // namespace

int CCalibrateOper::DetectAttachedPorts(uint8_t* lpbPortNum, wchar_t** lppPortName, uint8_t bNameLen) {
    PortNameList current;
    plat_port_list* pList = nullptr;
    int32_t r = plat_port_list_open(&pList);
    if (r != 0) {
        TunerLog(L"DetectAttachedPorts: RegOpenKeyEx failed, retCode %d\n", static_cast<int>(r));
        if (m_bPortNum != 0) RemoveDetachedPorts(current);
        return -2;
    }
    uint32_t dwSubKeys = 0, dwValues = 0;
    r = plat_port_list_info(pList, &dwSubKeys, &dwValues);
    if (r != 0) {
        TunerLog(L"DetectAttachedPorts: RegQueryInfoKey failed, retCode %d\n", static_cast<int>(r));
        plat_port_list_close(pList);
        return -1;
    }
    TunerLog(L"DetectAttachedPorts: subkeys number: %d, key values num %d\n", static_cast<int>(dwSubKeys),
             static_cast<int>(dwValues));
    if (dwValues != 0) {
        static_assert(VALUE_DATA_CHARS * sizeof(wchar_t) > VALUE_DATA_BYTES, "room for a terminator");
        std::unique_ptr<wchar_t[]> szName(new wchar_t[VALUE_NAME_CHARS]);
        std::unique_ptr<wchar_t[]> szData(new wchar_t[VALUE_DATA_CHARS]);
        for (uint32_t i = 0; i < dwValues; ++i) {
            uint32_t dwNameChars = VALUE_NAME_CHARS;
            uint32_t dwDataBytes = VALUE_DATA_BYTES;
            uint32_t dwType = 0;
            szName[0] = L'\0';
            std::memset(szData.get(), 0, VALUE_DATA_CHARS * sizeof(wchar_t));
            if (plat_port_list_value(pList, i, szName.get(), &dwNameChars, &dwType,
                                     reinterpret_cast<uint8_t*>(szData.get()), &dwDataBytes) != 0)
                continue;
            szName[VALUE_NAME_CHARS - 1] = L'\0';
            TunerLog(L"DetectAttachedPorts: (%d) name: %s, type: %d, data: %s\n", static_cast<int>(i),
                     szName.get(), static_cast<int>(dwType), szData.get());
            if (SearchAndInsertPortMap(m_PortMap, szData.get()) == 1) ++m_bPortNum;
            SearchAndInsertPortMap(current, szData.get());
        }
        RemoveDetachedPorts(current);
    } else if (m_bPortNum != 0) {
        RemoveDetachedPorts(current);
    }
    plat_port_list_close(pList);

    // A missing count is a capacity of 0: nothing is copied.
    if (lpbPortNum != nullptr && *lpbPortNum != 0 && lppPortName != nullptr && bNameLen != 0) {
        const uint8_t n = *lpbPortNum < m_bPortNum ? *lpbPortNum : m_bPortNum;
        *lpbPortNum = n;
        for (uint8_t k = 0; k < n; ++k) GetPortMapNameByIndex(k, lppPortName[k], bNameLen);
    }
    return 0;
}

uint8_t CCalibrateOper::SearchAndInsertPortMap(PortNameList& list, const wchar_t* pszPortName) {
    for (const PortName& p : list) {
        if (std::wcscmp(p.get(), pszPortName) == 0) {
            TunerLog(L"SearchAndInsertPortMap: find PortName %s\n", p.get());
            return 0;
        }
    }
    // Never cut: a cut name could name another port.
    if (std::wcslen(pszPortName) >= PORT_NAME_CHARS) {
        TunerLog(L"SearchAndInsertPortMap: PortName %s longer than 255 characters, not stored\n",
                 pszPortName);
        return 0;
    }
    // The count is one byte: a 256th port would wrap it to 0.
    if (&list == &m_PortMap && list.size() >= PORT_MAP_MAX) {
        TunerLog(L"SearchAndInsertPortMap: port map full (255 ports), PortName %s not stored\n",
                 pszPortName);
        return 0;
    }
    PortName pName(new (std::nothrow) wchar_t[PORT_NAME_CHARS]);
    if (!pName) {
        TunerLog(L"SearchAndInsertPortMap: malloc pPortName failed\n");
        return 0;
    }
    std::wcscpy(pName.get(), pszPortName);
    list.push_back(std::move(pName));
    return 1;
}

void CCalibrateOper::RemoveDetachedPorts(PortNameList& current) {
    if (!m_PortMap.empty()) {
        for (auto it = m_PortMap.begin(); it != m_PortMap.end();) {
            if (!current.empty() && Contains(current, it->get())) {
                ++it;
                continue;
            }
            it = m_PortMap.erase(it);
            if (m_bPortNum > 0) --m_bPortNum;
        }
    }
    current.clear();
}

uint8_t CCalibrateOper::GetPortMapNameByIndex(uint8_t bIndex, wchar_t* pszName, uint32_t dwCapacity) {
    if (bIndex >= m_PortMap.size()) {
        TunerLog(L"GetPortMapNameByIndex: Invalid %d\n", static_cast<int>(bIndex));
        return 0;
    }
    auto it = m_PortMap.begin();
    std::advance(it, bIndex);
    const size_t len = std::wcslen(it->get());
    // A name that does not fit is not cut: the caller gets an empty string.
    if (len >= dwCapacity) {
        if (dwCapacity != 0) pszName[0] = L'\0';
        TunerLog(L"GetPortMapNameByIndex: Name of port %d longer than %d characters\n",
                 static_cast<int>(bIndex), static_cast<int>(dwCapacity) - 1);
        return 0;
    }
    std::wmemcpy(pszName, it->get(), len + 1);
    return 1;
}

int CCalibrateOper::OpenPortById(uint8_t bPortId, plat_serial_handle* phPort, uint32_t dwReadConstant,
                                 const OpenTexts& texts) {
    wchar_t szName[PORT_NAME_CHARS];
    wchar_t szPath[PORT_PATH_CHARS];
    if (GetPortMapNameByIndex(bPortId, szName, PORT_NAME_CHARS) == 0 ||
        !plat_serial_port_path(szName, szPath, PORT_PATH_CHARS)) {
        if (texts.bProbe)
            TunerLog(texts.pszGetName, static_cast<int>(bPortId));
        else
            TunerLog(texts.pszGetName);
        return OPEN_NO_NAME;
    }
    if (*phPort == nullptr) {
        *phPort = plat_serial_open_path(szPath);
        if (*phPort == nullptr) {
            TunerLog(texts.pszOpen, szPath, static_cast<int>(plat_last_error()));
            return OPEN_FAILED;
        }
    }
    const int nLine = plat_serial_update_line(*phPort, LINE_BAUD);
    if (nLine == PLAT_LINE_READ_FAILED) {
        SayOpenFailure(texts, texts.pszGetState, bPortId);
        return OPEN_GET_STATE;
    }
    if (nLine != 0) {
        SayOpenFailure(texts, texts.pszSetState, bPortId);
        return OPEN_SET_STATE;
    }
    const plat_serial_timeouts timeouts{READ_INTERVAL_MS, READ_MULTIPLIER_MS, dwReadConstant,
                                        WRITE_MULTIPLIER_MS, WRITE_CONSTANT_MS};
    if (plat_serial_set_timeouts(*phPort, timeouts) != 0) {
        SayOpenFailure(texts, texts.pszSetTimeouts, bPortId);
        return OPEN_SET_TIMEOUTS;
    }
    plat_serial_purge(*phPort);
    return 0;
}

namespace {

// The open of a port slot: on failures 2 to 5 the slot ends up closed.
int OpenSlot(CCalibrateOper& oper, uint8_t bPortId, plat_serial_handle* phPort, uint32_t dwReadConstant,
             const OpenTexts& texts) {
    const int r = oper.OpenPortById(bPortId, phPort, dwReadConstant, texts);
    if (r >= OPEN_FAILED) {
        plat_serial_close(*phPort);
        *phPort = nullptr;
    }
    return -r;
}

}  // namespace

int CCalibrateOper::OpenGoldenSamplePort(uint8_t bPortId) {
    return OpenSlot(*this, bPortId, &m_hGoldenPort, GOLDEN_READ_CONSTANT_MS, GOLDEN_OPEN_TEXTS);
}

int CCalibrateOper::OpenDUTPort(uint8_t bPortId) {
    return OpenSlot(*this, bPortId, &m_hDUTPort, DUT_READ_CONSTANT_MS, DUT_OPEN_TEXTS);
}

void CCalibrateOper::CloseGoldenSamplePort() {
    if (m_hGoldenPort == nullptr) return;
    plat_serial_close(m_hGoldenPort);
    m_hGoldenPort = nullptr;
}

void CCalibrateOper::CloseDUTPort() {
    if (m_hDUTPort == nullptr) return;
    plat_serial_close(m_hDUTPort);
    m_hDUTPort = nullptr;
}
