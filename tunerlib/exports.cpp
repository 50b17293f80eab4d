// The 15 exports: the module guard and the argument checks, then the
// module's operations.
#include "tunerlib/tunerlib.h"

#include <mutex>
#include <new>

#include "tunerlib/calibrate_oper.h"
#include "tunerlib/log.h"
#include "tunerlib/no_throw.h"

namespace {

constexpr int RESULT_NO_MODULE = -11;
constexpr uint8_t MAC_LEN = 6;
const wchar_t FIXED_TEXT[] = L"hello world!";
constexpr unsigned FIXED_TEXT_CHARS = sizeof FIXED_TEXT / sizeof FIXED_TEXT[0] - 1;

}  // namespace

// The module; null while none is built. Set only by BuildCalibrateModule,
// cleared only by ReleaseCalibrateModule.
CCalibrateOper* g_pCalibrateOper = nullptr;

// Every export holds it for its whole call: a station's UI thread and worker
// may call at once, and the calls then run one after the other (a module is
// never released under a call that uses it).
std::mutex g_exportLock;

// Logs the guard line and gives -11 when no module is built.
#define MODULE_GUARD(NAME)                                          \
    if (g_pCalibrateOper == nullptr) {                              \
        TunerLog(NAME L": Please build module first\n");            \
        return RESULT_NO_MODULE;                                    \
    }

extern "C" {

int BuildCalibrateModule(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    if (g_pCalibrateOper != nullptr) {
        TunerLog(L"BuildCalibrateModule: Module has been built\n");
        return 0;
    }
    CCalibrateOper* pOper = new (std::nothrow) CCalibrateOper;
    if (pOper == nullptr) {
        TunerLog(L"BuildCalibrateModule: Instance CCalibrateOper failed\n");
        return -1;
    }
    g_pCalibrateOper = pOper;
    return 0;
}

int ReleaseCalibrateModule(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    delete g_pCalibrateOper;  // closes the ports that are still open
    g_pCalibrateOper = nullptr;
    return 0;
}

int GetComPortInfo(unsigned char* lpbPortNum, wchar_t** lppPortName, unsigned char bNameLen) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"GetComPortInfo")
    return ExportCall(L"GetComPortInfo",
                      [&] { return g_pCalibrateOper->DetectAttachedPorts(lpbPortNum, lppPortName, bNameLen); });
}

int FindDevicePortId(unsigned char* lpbGoldenBuf, unsigned char* bGoldenNum, unsigned char* lpbDUTBuf,
                     unsigned char* bDUTNum) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"FindDevicePortId")
    // A missing count counts as a capacity of 0 (it would be read and written).
    if (lpbGoldenBuf == nullptr || lpbDUTBuf == nullptr || bGoldenNum == nullptr || bDUTNum == nullptr ||
        *bGoldenNum == 0 || *bDUTNum == 0) {
        TunerLog(L"FindDevicePortId: lpbGoldenBuf == NULL || lpbDUTBuf == NULL || bGoldenNum == 0 || bDUTNum == 0\n");
        return -1;
    }
    return ExportCall(L"FindDevicePortId",
                      [&] { return g_pCalibrateOper->FindDevicePortId(lpbGoldenBuf, bGoldenNum, lpbDUTBuf, bDUTNum); });
}

int OpenGoldenSamplePort(unsigned char bPortId) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"OpenGoldenSamplePort")
    return g_pCalibrateOper->OpenGoldenSamplePort(bPortId);
}

int CloseGoldenSamplePort(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"CloseGoldenSamplePort")
    g_pCalibrateOper->CloseGoldenSamplePort();
    return 0;
}

int OpenDUTPort(unsigned char bPortId) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"OpenDUTPort")
    return g_pCalibrateOper->OpenDUTPort(bPortId);
}

int CloseDUTPort(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"CloseDUTPort")
    g_pCalibrateOper->CloseDUTPort();
    return 0;
}

int GetGoldenInfo(unsigned char bChannel) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"GetGoldenInfo")
    return g_pCalibrateOper->GetGoldenInfo(bChannel);
}

int GetDUTInfo(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"GetDUTInfo")
    return g_pCalibrateOper->GetDUTInfo();
}

int VefifyDUTInfo(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"VefifyDUTInfo")
    return g_pCalibrateOper->VefifyDUTInfo();
}

int StartDUTCalibrate(unsigned char bParam, unsigned char* lpbResult) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"StartDUTCalibrate")
    // Without a place for the result the calibration would run unreported.
    if (lpbResult == nullptr) {
        TunerLog(L"StartDUTCalibrate: lpbResult == NULL\n");
        return -1;
    }
    return g_pCalibrateOper->StartDUTCalibrate(bParam, lpbResult);
}

int RebootGoldenSample(void) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    MODULE_GUARD(L"RebootGoldenSample")
    return g_pCalibrateOper->RebootGoldenSample();
}

int SetDUTMacAddress(const unsigned char* lpMACBuf, unsigned char len) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    if (lpMACBuf == nullptr || len != MAC_LEN) {
        TunerLog(L"SetDUTMacAddress: lpMACBuf == NULL || len != 6\n");
        return RESULT_NO_MODULE;
    }
    if (g_pCalibrateOper == nullptr) return RESULT_NO_MODULE;
    return g_pCalibrateOper->SetDUTMacAddress(lpMACBuf, len);
}

int ReturnLPCWCHAR(wchar_t* log, unsigned int nLen) {
    const std::lock_guard<std::mutex> hold(g_exportLock);
    if (log == nullptr) {
        TunerLog(L"ReturnLPCWCHAR: log == NULL\n");
        return -1;
    }
    const unsigned n = nLen < FIXED_TEXT_CHARS ? nLen : FIXED_TEXT_CHARS;
    for (unsigned k = 0; k < n; ++k) log[k] = FIXED_TEXT[k];
    log[n] = L'\0';
    return 0;
}

}  // extern "C"
