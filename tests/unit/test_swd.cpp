// The SWD link against a scripted probe of the test's own (installed as the
// resolved entry points), the device families, and the probe library loader
// against the simulated probe library and against libraries that lack it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "link/jlink.h"
#include "link/swd.h"
#include "platform/platform.h"
#include "record/failure.h"

namespace {

// What the scripted probe answers, and what it was asked.
struct scripted_probe {
    int select_usb = 0;
    const char* open_error = nullptr;
    std::string exec_error;
    int connect = 0;
    int halt = 0;
    int write_missing = 0;      // bytes short of every write
    int write_result = 0;       // non-zero: every write returns it
    int refused_reg = -1;
    uint32_t status = 0;
    int status_words = 1;
    int read_mem = 0;

    std::vector<std::string> calls;
    std::vector<std::vector<uint8_t>> writes;  // bytes of each memory write
    std::vector<uint32_t> write_addrs;
    uint32_t speed = 0;
};

scripted_probe probe;

void note(const std::string& call) { probe.calls.push_back(call); }

void p_close() { note("Close"); }
int p_connect() { note("Connect"); return probe.connect; }
int p_exec(const char* command, char* error, int size) {
    note(std::string("ExecCommand ") + command + " " + std::to_string(size));
    std::snprintf(error, static_cast<size_t>(size), "%s", probe.exec_error.c_str());
    return 0;
}
void p_go() { note("Go"); }
int p_halt() { note("Halt"); return probe.halt; }
const char* p_open() { note("Open"); return probe.open_error; }
int p_read_mem(uint32_t addr, uint32_t count, void* dest) {
    note("ReadMem " + std::to_string(count));
    auto* d = static_cast<uint8_t*>(dest);
    for (uint32_t i = 0; i < count; ++i) d[i] = static_cast<uint8_t>((addr + i) * 7);
    return probe.read_mem;
}
int p_read_u32(uint32_t, uint32_t words, uint32_t* dest, uint8_t* status) {
    note("ReadMemU32 " + std::to_string(words) + (status == nullptr ? " -" : " status"));
    *dest = probe.status;
    return probe.status_words;
}
int p_reset() { note("Reset"); return 0; }
int p_select_usb(int port) { note("SelectUSB " + std::to_string(port)); return probe.select_usb; }
void p_set_speed(uint32_t khz) { note("SetSpeed " + std::to_string(khz)); probe.speed = khz; }
int p_write_mem(uint32_t addr, uint32_t count, const void* data) {
    note("WriteMem " + std::to_string(count));
    const auto* b = static_cast<const uint8_t*>(data);
    probe.writes.emplace_back(b, b + count);
    probe.write_addrs.push_back(addr);
    if (probe.write_result != 0) return probe.write_result;
    return static_cast<int>(count) - probe.write_missing;
}
int p_write_reg(int reg, uint32_t value) {
    char text[40];
    std::snprintf(text, sizeof text, "WriteReg %d %08X", reg, value);
    note(text);
    return reg == probe.refused_reg ? 0x101 : 0x100;  // only the low byte counts
}
int p_tif_select(int interface) { note("TIF_Select " + std::to_string(interface)); return 0; }

class SwdLink : public testing::Test {
protected:
    void SetUp() override {
        probe = scripted_probe{};
        jlink_forget();
        jlink = {p_close, p_connect, p_exec, p_go, p_halt, p_open, p_read_mem, p_read_u32,
                 p_reset, p_select_usb, p_set_speed, p_write_mem, p_write_reg, p_tif_select};
        swd_device = &swd_family_4410c;
        failure_clear();
    }
    void TearDown() override {
        jlink_forget();
        swd_device = &swd_family_4410c;
        failure_clear();
    }
};

uint32_t word_at(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

using calls = std::vector<std::string>;

TEST_F(SwdLink, OpenMakesTheProbeCallsInOrderAndStopsAtTheFirstFailure) {
    const calls all = {"SelectUSB 0", "Open", "ExecCommand device = Cortex-M0 1024", "TIF_Select 1",
                       "SetSpeed 4000", "Connect"};
    struct row {
        const char* name;
        void (*fault)();
        int32_t result;
        const char* err;
        size_t calls_made;
    } rows[] = {
        {"ok", [] {}, 0, "", 6},
        {"select", [] { probe.select_usb = 0x201; }, -1, "SWD Select USB error!\n", 1},
        {"select high bits only", [] { probe.select_usb = 0x200; }, 0, "", 6},
        {"open", [] { probe.open_error = "no probe"; }, -2, "SWD open error!\n", 2},
        {"device", [] { probe.exec_error = "Unknown device"; }, -3, "Unknown device\n", 3},
        {"connect", [] { probe.connect = -1; }, -4, "SWD could not connect to target.\n", 6},
    };
    for (const row& r : rows) {
        SetUp();
        r.fault();
        captured c = run_captured([] { return swd_open("swd", 4000); });
        EXPECT_EQ(c.result, r.result) << r.name;
        EXPECT_EQ(c.out, "SWD Opening...\n") << r.name;
        EXPECT_EQ(c.err, r.err) << r.name;
        EXPECT_EQ(probe.calls, calls(all.begin(), all.begin() + static_cast<long>(r.calls_made))) << r.name;
    }
}

TEST_F(SwdLink, DownloadWritesTheImageThenTheStacksAndThePcThenRuns) {
    std::vector<uint8_t> image(1000, 0x5A);
    swd_device = &swd_family_4410a;
    captured c = run_captured([&] { return swd_download_fw(1000, image.data()); });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(probe.calls, (calls{"Halt", "WriteMem 1000", "WriteReg 17 20010000", "WriteReg 18 20010000",
                                  "WriteReg 15 20000000", "Go"}));
    EXPECT_EQ(probe.write_addrs, std::vector<uint32_t>{0x20000000});
    EXPECT_EQ(probe.writes[0], image);
}

TEST_F(SwdLink, DownloadFailuresStopBeforeTheCpuRuns) {
    struct row {
        const char* name;
        void (*fault)();
        int32_t result;
        const char* err;
        calls made;
    } rows[] = {
        {"halt", [] { probe.halt = 0x301; }, -1, "Halt error\n", {"Halt"}},
        {"short write", [] { probe.write_missing = 4; }, -1, "Needed 1000 bytes, written 996 bytes\n",
         {"Halt", "WriteMem 1000"}},
        {"write fails", [] { probe.write_result = -5; }, -1, "Write 1000 bytes Memory fail!\n",
         {"Halt", "WriteMem 1000"}},
        {"msp", [] { probe.refused_reg = 17; }, -2, "Write MSP fail!\n",
         {"Halt", "WriteMem 1000", "WriteReg 17 00210000"}},
        {"psp", [] { probe.refused_reg = 18; }, -3, "Write PSP fail!\n",
         {"Halt", "WriteMem 1000", "WriteReg 17 00210000", "WriteReg 18 00210000"}},
        {"pc", [] { probe.refused_reg = 15; }, -2, "Write PC fail!\n",
         {"Halt", "WriteMem 1000", "WriteReg 17 00210000", "WriteReg 18 00210000", "WriteReg 15 00200000"}},
    };
    std::vector<uint8_t> image(1000, 1);
    for (const row& r : rows) {
        SetUp();
        r.fault();
        captured c = run_captured([&] { return swd_download_fw(1000, image.data()); });
        EXPECT_EQ(c.result, r.result) << r.name;
        EXPECT_EQ(c.err, r.err) << r.name;
        EXPECT_EQ(probe.calls, r.made) << r.name;
        EXPECT_EQ(failure_noted(), failure_class::link) << r.name;  // a probe call failed
    }
}

TEST_F(SwdLink, DownloadWithoutAnImageIsARefusedRequest) {
    captured c = run_captured([] { return swd_download_fw(0, nullptr); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.err, "SWD download: no loader image given, the CPU was not started\n");
    EXPECT_TRUE(probe.calls.empty());
    EXPECT_EQ(failure_noted(), failure_class::usage);
}

TEST_F(SwdLink, DeviceSelectionComparesFiveCharacters) {
    struct row {
        const char* name;
        int32_t result;
        const swd_device_family* family;
        const char* out;
    } rows[] = {
        {"4410a", 0, &swd_family_4410a, "apply KVL4410A setting...\n"},
        {"4410c", 0, &swd_family_4410c, "apply KVL4410C setting...\n"},
        {"4420bx", 0, &swd_family_4420b, "apply KVL4420B setting...\n"},
        {"4420", -1, nullptr, ""},
        {"4410A", -1, nullptr, ""},
        {"", -1, nullptr, ""},
    };
    for (const row& r : rows) {
        captured c = run_captured([&] { return swd_select_device(r.name); });
        EXPECT_EQ(c.result, r.result) << r.name;
        EXPECT_EQ(swd_device, r.family) << r.name;
        EXPECT_EQ(c.out, r.out) << r.name;
        EXPECT_EQ(c.err, r.result == 0 ? "" : "select device name error!\n") << r.name;
    }
    EXPECT_EQ(swd_family_4410a.load_addr, 0x20000000u);
    EXPECT_EQ(swd_family_4410a.mailbox_addr, 0x20002000u);
    EXPECT_EQ(swd_family_4420b.msp, 0x10010000u);
}

TEST_F(SwdLink, WithoutAFamilyEveryTargetOperationRefusesWithoutTouchingTheProbe) {
    run_captured([] { return swd_select_device("bogus"); });
    uint8_t buf[16] = {};
    struct row {
        const char* name;
        int32_t (*op)(uint8_t*);
    } rows[] = {
        {"download", [](uint8_t* b) { return swd_download_fw(16, b); }},
        {"read", [](uint8_t* b) { return swd_read(0x800000, 16, b); }},
        {"program", [](uint8_t* b) { return swd_program(0x800000, 16, b); }},
        {"page erase", [](uint8_t*) { return swd_page_erase(0x800000, 0x1000); }},
        {"chip erase", [](uint8_t*) { return swd_chip_erase(); }},
        {"reboot", [](uint8_t*) { return swd_reboot(0); }},
    };
    for (const row& r : rows) {
        captured c = run_captured([&] { return r.op(buf); });
        EXPECT_EQ(c.result, SWD_NO_DEVICE) << r.name;
        EXPECT_NE(c.err.find("no SWD device family is selected"), std::string::npos) << r.name;
    }
    EXPECT_TRUE(probe.calls.empty());
    // The probe can still be opened and closed, and a new selection ends the refusal.
    EXPECT_EQ(run_captured([] { return swd_close(); }).result, 0);
    EXPECT_EQ(run_captured([] { return swd_select_device("4410c"); }).result, 0);
    EXPECT_EQ(run_captured([] { return swd_chip_erase(); }).result, 0);
}

TEST_F(SwdLink, WaitsGrowWithWhatRemains) {
    EXPECT_EQ(swd_wait_ms(0x18001), 7200u);
    EXPECT_EQ(swd_wait_ms(0xC001), 3600u);
    EXPECT_EQ(swd_wait_ms(1), 0u);
    EXPECT_EQ(swd_wait_ms(0x1000), 300u);
    // A 32-bit product would wrap here.
    EXPECT_EQ(swd_wait_ms(0x2000000), 2457600u);
}

TEST_F(SwdLink, EraseRequestsCarryTheirHeaderAndReturnTheLoadersStatus) {
    probe.status = 5;
    captured c = run_captured([] { return swd_page_erase(0x801000, 0x100); });
    EXPECT_EQ(c.result, 5);
    EXPECT_EQ(probe.calls, (calls{"Halt", "WriteMem 12", "Go", "ReadMemU32 1 -"}));
    ASSERT_EQ(probe.writes.size(), 1u);
    EXPECT_EQ(probe.write_addrs[0], 0x00202000u);
    EXPECT_EQ(word_at(probe.writes[0], 0), 4u);
    EXPECT_EQ(word_at(probe.writes[0], 4), 0x801000u);
    EXPECT_EQ(word_at(probe.writes[0], 8), 0x100u);

    SetUp();
    probe.status = 5;
    c = run_captured([] { return swd_chip_erase(); });
    EXPECT_EQ(c.result, 5);
    ASSERT_EQ(probe.writes.size(), 1u);
    EXPECT_EQ(probe.writes[0].size(), 4u);
    EXPECT_EQ(word_at(probe.writes[0], 0), 5u);
}

TEST_F(SwdLink, MailboxFailuresAreReturned) {
    uint8_t buf[64] = {};
    struct row {
        const char* name;
        void (*fault)();
        int32_t result;
        failure_class noted;
    } rows[] = {
        {"halt low byte", [] { probe.halt = 0x102; }, 2, failure_class::link},
        {"write fails", [] { probe.write_result = -3; }, -3, failure_class::link},
        {"short write", [] { probe.write_missing = 1; }, SWD_SHORT_WRITE, failure_class::link},
        {"status read fails", [] { probe.status_words = -4; }, -4, failure_class::link},
        {"no status word", [] { probe.status_words = 0; }, SWD_STATUS_UNREAD, failure_class::link},
        {"status", [] { probe.status = 9; }, 9, failure_class::module},
    };
    for (const row& r : rows) {
        for (int op = 0; op < 3; ++op) {
            SetUp();
            r.fault();
            captured c = run_captured([&] {
                return op == 0 ? swd_page_erase(0x800000, 64) : op == 1 ? swd_program(0x800000, 64, buf)
                                                                        : swd_read(0x800000, 64, buf);
            });
            EXPECT_EQ(c.result, r.result) << r.name << " op " << op;
            EXPECT_NE(c.err, "") << r.name << " op " << op;
            EXPECT_EQ(failure_noted(), r.noted) << r.name << " op " << op;
        }
    }
    SetUp();
    probe.read_mem = -1;
    EXPECT_EQ(run_captured([&] { return swd_read(0x800000, 64, buf); }).result, -1);
}

TEST_F(SwdLink, ProgramSendsEachChunkWithItsHeaderInOneWrite) {
    std::vector<uint8_t> data(0x20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(run_captured([&] { return swd_program(0x802000, 0x20, data.data()); }).result, 0);
    ASSERT_EQ(probe.writes.size(), 1u);
    EXPECT_EQ(probe.writes[0].size(), 12u + 0x20);
    EXPECT_EQ(word_at(probe.writes[0], 0), 3u);
    EXPECT_EQ(word_at(probe.writes[0], 4), 0x802000u);
    EXPECT_EQ(word_at(probe.writes[0], 8), 0x20u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), probe.writes[0].begin() + 12));
}

TEST_F(SwdLink, ReadSplitsIntoChunksAndCopiesEachFromBehindTheHeader) {
    std::vector<uint8_t> buf(0xC001);
    EXPECT_EQ(run_captured([&] { return swd_read(0x800000, 0xC001, buf.data()); }).result, 0);
    EXPECT_EQ(probe.calls, (calls{"Halt", "WriteMem 12", "Go", "ReadMemU32 1 -", "ReadMem 49152", "Halt",
                                  "WriteMem 12", "Go", "ReadMemU32 1 -", "ReadMem 1"}));
    EXPECT_EQ(word_at(probe.writes[1], 4), 0x80C000u);
    EXPECT_EQ(word_at(probe.writes[1], 8), 1u);
    // The scripted probe fills from the mailbox data address; both chunks start there.
    EXPECT_EQ(buf[0], static_cast<uint8_t>(0x0020200C * 7));
    EXPECT_EQ(buf[0xC000], static_cast<uint8_t>(0x0020200C * 7));
}

TEST_F(SwdLink, ZeroLengthTransfersTouchNothing) {
    uint8_t b = 0;
    EXPECT_EQ(swd_read(0x800000, 0, &b), 0);
    EXPECT_EQ(swd_program(0x800000, 0, &b), 0);
    EXPECT_TRUE(probe.calls.empty());
}

TEST_F(SwdLink, CloseAndReboot) {
    captured c = run_captured([] { return swd_close(); });
    EXPECT_EQ(c.out, "SWD Closing...\nSWD Close Done.\n");
    c = run_captured([] { return swd_reboot(3); });
    EXPECT_EQ(c.out, "SWD rebooting...\nSWD reboot done\n");
    EXPECT_EQ(probe.calls, (calls{"Close", "Reset", "Go"}));
}

// The loader itself, with libraries found on this machine.
class ProbeLibrary : public testing::Test {
protected:
    void SetUp() override {
        jlink_forget();
        failure_clear();
    }
    void TearDown() override {
        jlink_forget();
        failure_clear();
    }
};

TEST_F(ProbeLibrary, ResolvesAllEntryPointsOfTheSimulatedProbe) {
    const char* path = std::getenv("SIMPROBE");
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "SIMPROBE is not set";
    jlink_library = plat_load_library(path);
    ASSERT_NE(jlink_library, nullptr);
    EXPECT_TRUE(jlink_need({JLINK_CLOSE, JLINK_CONNECT, JLINK_EXEC_COMMAND, JLINK_GO, JLINK_HALT, JLINK_OPEN,
                            JLINK_READ_MEM, JLINK_READ_MEM_U32, JLINK_RESET, JLINK_SELECT_USB, JLINK_SET_SPEED,
                            JLINK_WRITE_MEM, JLINK_WRITE_REG, JLINK_TIF_SELECT}));
    EXPECT_NE(jlink.TIF_Select, nullptr);
    EXPECT_NE(jlink.ReadMemU32, nullptr);
}

TEST_F(ProbeLibrary, AMissingEntryPointIsNamed) {
    jlink_library = plat_load_library("libm.so.6");
    ASSERT_NE(jlink_library, nullptr);
    captured c = run_captured([] { return jlink_need({JLINK_HALT}) ? 1 : 0; });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.err, "J-Link ARM Error: DLL function JLINKARM_Halt(...) not found !\n");
    EXPECT_EQ(failure_noted(), failure_class::link);  // the probe cannot be reached
}

TEST_F(ProbeLibrary, NoLibraryAnywhereNamesTheLastPathTriedAndIsTriedAgain) {
    if (plat_load_library("/opt/SEGGER/JLink/libjlinkarm.so") != nullptr)
        GTEST_SKIP() << "a probe library is installed on this machine";
    const std::string expected = "J-Link ARM Error: Target DLL /opt/SEGGER/JLink/libjlinkarm.so not found !\n";
    for (int attempt = 0; attempt < 2; ++attempt) {
        captured c = run_captured([] { return jlink_need({JLINK_OPEN}) ? 1 : 0; });
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(c.err, expected) << "attempt " << attempt;
        EXPECT_EQ(failure_noted(), failure_class::link) << "attempt " << attempt;
    }
    EXPECT_EQ(jlink_library, nullptr);
}

}  // namespace
