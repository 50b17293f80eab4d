// The calibration library from the inside: the log formatting, the port
// map's bounded copies and its limits, and the short write that the
// simulators cannot cause (a line whose output stays full).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tunerlib/calibrate_oper.h"
#include "tunerlib/exchange.h"
#include "tunerlib/log.h"
#include "tunerlib/no_throw.h"

namespace {

TEST(TunerLogFormat, PercentSIsAWideStringAndEveryConversionWorks) {
    wchar_t line[TUNER_LOG_LINE_CHARS];
    TunerFormatLine(line, TUNER_LOG_LINE_CHARS, L"X: (%d) name: %s, 100%% %02X %02x:%s\n", 3, L"\\Device\\Sim0",
                    0x7E, 0xab, L"COM7");
    EXPECT_STREQ(line, L"X: (3) name: \\Device\\Sim0, 100% 7E ab:COM7\n");
}

TEST(TunerLogFormat, LongLinesAreCutToTheBufferAndTerminated) {
    const std::wstring name(3000, L'n');
    struct { size_t cap; size_t kept; } cases[] = {{TUNER_LOG_LINE_CHARS, TUNER_LOG_LINE_CHARS - 1}, {8, 7}, {1, 0}};
    for (const auto& c : cases) {
        std::vector<wchar_t> line(c.cap + 8, L'#');
        TunerFormatLine(line.data(), c.cap, L"A: %s\n", name.c_str());
        EXPECT_EQ(std::wcslen(line.data()), c.kept);
        EXPECT_EQ(line[c.cap], L'#') << "written past the buffer";
        if (c.kept >= 3) {
            EXPECT_EQ(std::wstring(line.data(), 3), L"A: ");
        }
    }
}

// A station application must never be ended by the library: what an export's
// body raises becomes -1.
TEST(ExportCall, NoExceptionLeavesAnExport) {
    setenv("TUNERLIB_LOG", "/dev/null", 1);
    EXPECT_EQ(ExportCall(L"GetComPortInfo", []() -> int { throw std::bad_alloc(); }), RESULT_EXPORT_FAILED);
    EXPECT_EQ(ExportCall(L"FindDevicePortId", []() -> int { throw std::length_error("list"); }),
              RESULT_EXPORT_FAILED);
    EXPECT_EQ(ExportCall(L"FindDevicePortId", [] { return 0; }), 0);
}

class PortMap : public ::testing::Test {
protected:
    CCalibrateOper oper;
    void SetUp() override { setenv("TUNERLIB_LOG", "/dev/null", 1); }
};

TEST_F(PortMap, NamesAreCopiedOutOnlyWhenTheyFitWhole) {
    ASSERT_EQ(oper.SearchAndInsertPortMap(oper.m_PortMap, L"ttyUSB0"), 1);
    struct { uint32_t cap; uint8_t result; const wchar_t* text; } cases[] = {
        {8, 1, L"ttyUSB0"},   // exactly the name and its terminator
        {64, 1, L"ttyUSB0"},
        {7, 0, L""},          // one short: an empty string, never a cut name
        {1, 0, L""},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t> buf(c.cap + 4, L'#');
        buf[c.cap + 3] = L'\0';
        EXPECT_EQ(oper.GetPortMapNameByIndex(0, buf.data(), c.cap), c.result) << c.cap;
        EXPECT_STREQ(buf.data(), c.text) << c.cap;
        EXPECT_EQ(buf[c.cap], L'#') << "written past the buffer, capacity " << c.cap;
    }
    wchar_t untouched[2] = {L'#', L'\0'};
    EXPECT_EQ(oper.GetPortMapNameByIndex(0, untouched, 0), 0);
    EXPECT_EQ(untouched[0], L'#');
    EXPECT_EQ(oper.GetPortMapNameByIndex(1, untouched, 2), 0);
}

TEST_F(PortMap, OverlongNamesAreRefusedAndTheCountNeverWraps) {
    const std::wstring longest(PORT_NAME_CHARS - 1, L'a');
    const std::wstring too_long(PORT_NAME_CHARS, L'b');
    EXPECT_EQ(oper.SearchAndInsertPortMap(oper.m_PortMap, longest.c_str()), 1);
    EXPECT_EQ(oper.SearchAndInsertPortMap(oper.m_PortMap, too_long.c_str()), 0);
    EXPECT_EQ(oper.SearchAndInsertPortMap(oper.m_PortMap, longest.c_str()), 0);  // already there
    EXPECT_EQ(oper.m_PortMap.size(), 1u);
    for (int k = 1; k < 255; ++k)
        ASSERT_EQ(oper.SearchAndInsertPortMap(oper.m_PortMap, (L"p" + std::to_wstring(k)).c_str()), 1);
    EXPECT_EQ(oper.SearchAndInsertPortMap(oper.m_PortMap, L"one-too-many"), 0);
    EXPECT_EQ(oper.m_PortMap.size(), 255u);
    // A temporary list is not the map: it takes any number.
    PortNameList current;
    for (int k = 0; k < 300; ++k)
        ASSERT_EQ(oper.SearchAndInsertPortMap(current, (L"q" + std::to_wstring(k)).c_str()), 1);
}

TEST_F(PortMap, RemovingDetachedPortsKeepsTheOrderOfTheRest) {
    for (const wchar_t* n : {L"a", L"b", L"c", L"d"}) oper.m_bPortNum += oper.SearchAndInsertPortMap(oper.m_PortMap, n);
    PortNameList current;
    for (const wchar_t* n : {L"d", L"b", L"x"}) oper.SearchAndInsertPortMap(current, n);
    oper.RemoveDetachedPorts(current);
    EXPECT_TRUE(current.empty());
    ASSERT_EQ(oper.m_bPortNum, 2);
    wchar_t name[8];
    ASSERT_EQ(oper.GetPortMapNameByIndex(0, name, 8), 1);
    EXPECT_STREQ(name, L"b");
    ASSERT_EQ(oper.GetPortMapNameByIndex(1, name, 8), 1);
    EXPECT_STREQ(name, L"d");
    oper.RemoveDetachedPorts(current);  // nothing reported: the map empties
    EXPECT_EQ(oper.m_bPortNum, 0);
    EXPECT_TRUE(oper.m_PortMap.empty());
}

// A pseudo-terminal whose far end never reads: once the line's buffers are
// full, a write moves nothing within its time-out.
class FullLine : public ::testing::Test {
protected:
    int master = -1;
    std::string log_path;
    CCalibrateOper oper;

    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const char* tmp = std::getenv("FLINT_TEST_TMP");
        log_path = std::string(tmp ? tmp : "/tmp") + "/tunerlib_full_line_" + std::to_string(getpid()) + ".log";
        std::remove(log_path.c_str());
        setenv("TUNERLIB_LOG", log_path.c_str(), 1);
    }
    void TearDown() override {
        std::remove(log_path.c_str());
        if (master >= 0) close(master);
    }

    plat_serial_handle OpenFilled() {
        plat_serial_handle port = plat_serial_open(ptsname(master));
        EXPECT_NE(port, nullptr);
        if (port == nullptr) return nullptr;
        EXPECT_EQ(plat_serial_update_line(port, 115200), 0);
        EXPECT_EQ(plat_serial_set_timeouts(port, plat_serial_timeouts{30, 100, 30, 1, 50}), 0);
        std::vector<uint8_t> chunk(4096, 0x55);
        for (int i = 0; i < 1000; ++i) {
            if (plat_serial_write(port, chunk.data(), static_cast<uint32_t>(chunk.size())) < chunk.size()) break;
        }
        while (plat_serial_write(port, chunk.data(), 1) == 1) {
        }
        return port;
    }

    std::string Log() {
        std::ifstream f(log_path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

TEST_F(FullLine, AShortWriteFailsWithF3AndItsLine) {
    struct Case {
        const char* op;
        int expected;
        std::string line;
    } cases[] = {
        {"golden", -4, "GetGoldenInfo: Write data less than 7 byte:(0)\n"},
        {"dut", -3, "GetDUTInfo: Write data less than DUTCmdLen(8) byte:(0)\n"},
        {"calibrate", -3, "StartDUTCalibrate: Write data less than CalibCmdLen(10) byte:(0)\n"},
        {"reboot", -3, "RebootGoldenSample: Write data less than 5 byte:(0)\n"},
        {"mac", -3, "SetDUTMacAddress: Write data less than 5 byte:(0)\n"},
    };
    plat_serial_handle port = OpenFilled();
    ASSERT_NE(port, nullptr);
    oper.m_hGoldenPort = port;
    oper.m_hDUTPort = nullptr;
    // Stored replies with 3 payload bytes each.
    oper.m_wGoldenRspLen = 13;
    oper.m_wVerifyRspLen = 13;
    for (const Case& c : cases) {
        std::remove(log_path.c_str());
        const std::string op = c.op;
        const bool dut_port = op == "dut" || op == "calibrate" || op == "mac";
        oper.m_hDUTPort = dut_port ? port : nullptr;
        oper.m_hGoldenPort = dut_port ? nullptr : port;
        int r = 0;
        uint8_t result = 0xEE;
        const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
        if (op == "golden") r = oper.GetGoldenInfo(0);
        if (op == "dut") r = oper.GetDUTInfo();
        if (op == "calibrate") r = oper.StartDUTCalibrate(1, &result);
        if (op == "reboot") r = oper.RebootGoldenSample();
        if (op == "mac") r = oper.SetDUTMacAddress(mac, 6);
        EXPECT_EQ(r, c.expected) << op;
        EXPECT_EQ(Log(), c.line) << op;
        EXPECT_EQ(result, 0xEE);
        if (op == "golden") {
            // Restore the golden reply that the failed attempt marked absent.
            oper.m_wGoldenRspLen = 13;
        }
    }
    oper.m_hGoldenPort = nullptr;
    oper.m_hDUTPort = nullptr;
    plat_serial_close(port);
}

TEST(Framing, RequestsCarryTheirCrcLowByteFirst) {
    uint8_t probe[8] = {PACKET_TYPE, OP_IDENTIFY, REQUEST_TAG};
    ASSERT_EQ(FrameRequest(probe, 3), 5u);
    EXPECT_EQ(std::vector<uint8_t>(probe, probe + 5), (std::vector<uint8_t>{0x87, 0x16, 0x11, 0x7E, 0x45}));
    uint8_t reboot[8] = {PACKET_TYPE, OP_REBOOT, REQUEST_TAG};
    FrameRequest(reboot, 3);
    EXPECT_EQ(std::vector<uint8_t>(reboot, reboot + 5), (std::vector<uint8_t>{0x87, 0x17, 0x11, 0x7F, 0xD5}));
    uint8_t golden[8] = {PACKET_TYPE, OP_GOLDEN_INFO, REQUEST_TAG, 0x00, 0x11};
    FrameRequest(golden, 5);
    EXPECT_EQ(std::vector<uint8_t>(golden, golden + 7),
              (std::vector<uint8_t>{0x87, 0x12, 0x11, 0x00, 0x11, 0x21, 0x6F}));
}

}  // namespace
