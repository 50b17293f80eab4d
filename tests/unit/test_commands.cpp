// The flash commands against a recording table of operations installed as the
// table in force: argument rules, messages, results and what reaches the slots.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "commands/connection.h"
#include "common/crc16.h"
#include "link/flash_ops.h"
#include "link/swd.h"
#include "shell/cmd.h"

namespace {


constexpr uint32_t kFlashBase = 0x800000;
constexpr uint32_t kFlashSize = 0x10000;

// A module behind the recording table: a small flash, a call log and the
// result each slot returns.
struct FakeModule {
    std::vector<std::string> calls;
    std::map<std::string, int32_t> result;
    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    std::vector<uint8_t> last_bytes;
    uint16_t last_crc = 0;
    std::string last_open;

    int32_t log(const std::string& call, const char* slot) {
        calls.push_back(call);
        auto it = result.find(slot);
        return it == result.end() ? 0 : it->second;
    }
};

FakeModule* fake = nullptr;

// Only addresses inside the fake flash touch its memory.
bool in_flash(uint32_t a, uint32_t n) { return a >= kFlashBase && a - kFlashBase + uint64_t(n) <= kFlashSize; }

std::string fmt(const char* f, uint32_t a, uint32_t b) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

int32_t f_open(const char* name, uint32_t setting) {
    fake->last_open = name;
    return fake->log("open " + std::string(name) + " " + std::to_string(setting), "open");
}
int32_t f_close() { return fake->log("close", "close"); }
int32_t f_download(uint32_t size, const uint8_t* image) {
    if (image != nullptr) fake->last_bytes.assign(image, image + size);
    return fake->log("download " + std::to_string(size), "download_fw");
}
int32_t f_get_prop() { return fake->log("get_prop", "get_prop"); }
int32_t f_set_baud(uint32_t baud) { return fake->log("set_baudrate " + std::to_string(baud), "set_baudrate"); }
int32_t f_page_erase(uint32_t a, uint32_t s) {
    int32_t r = fake->log(fmt("page_erase %X %X", a, s), "page_erase");
    if (r == 0 && in_flash(a, s)) std::memset(&fake->flash[a - kFlashBase], 0xFF, s);
    return r;
}
int32_t f_chip_erase() { return fake->log("chip_erase", "chip_erase"); }
int32_t f_program(uint32_t a, uint32_t n, const uint8_t* b) {
    fake->last_bytes.assign(b, b + n);
    int32_t r = fake->log(fmt("program %X %X", a, n), "program");
    if (r == 0 && in_flash(a, n))
        for (uint32_t i = 0; i < n; ++i) fake->flash[a - kFlashBase + i] &= b[i];
    return r;
}
int32_t f_read(uint32_t a, uint32_t n, uint8_t* d) {
    int32_t r = fake->log(fmt("read %X %X", a, n), "read");
    if (r == 0 && in_flash(a, n)) std::memcpy(d, &fake->flash[a - kFlashBase], n);
    return r;
}
int32_t f_be64(uint32_t a, uint32_t s) { return fake->log(fmt("block64_erase %X %X", a, s), "block64_erase"); }
uint32_t f_flash_id() {
    fake->log("flash_id", "flash_id");
    return 0x164020;
}
int32_t f_ext_be32(uint32_t a, uint32_t s) { return fake->log(fmt("ext_block32_erase %X %X", a, s), "ext_block32_erase"); }
int32_t f_ext_be64(uint32_t a, uint32_t s) { return fake->log(fmt("ext_block64_erase %X %X", a, s), "ext_block64_erase"); }
int32_t f_ext_sector(uint32_t a, uint32_t s) { return fake->log(fmt("ext_sector_erase %X %X", a, s), "ext_sector_erase"); }
int32_t f_ext_chip() { return fake->log("ext_chip_erase", "ext_chip_erase"); }
int32_t f_ext_program(uint32_t a, uint32_t n, const uint8_t* b) {
    fake->last_bytes.assign(b, b + n);
    return fake->log(fmt("ext_program %X %X", a, n), "ext_program");
}
int32_t f_ext_read(uint32_t a, uint32_t n, uint8_t* d) {
    for (uint32_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i);
    return fake->log(fmt("ext_read %X %X", a, n), "ext_read");
}
uint32_t f_ext_flash_id() {
    fake->log("ext_flash_id", "ext_flash_id");
    return 0xEF4016;
}
int32_t f_verify(uint32_t a, uint32_t n, const uint8_t* b) {
    fake->last_bytes.assign(b, b + n);
    return fake->log(fmt("verify %X %X", a, n), "verify");
}
int32_t f_ext_verify(uint32_t a, uint32_t n, uint16_t crc) {
    fake->last_crc = crc;
    return fake->log(fmt("ext_verify %X %X", a, n), "ext_verify");
}

const flash_ops fake_ops = {
    f_open,        f_close,      f_download,   f_get_prop,     f_set_baud,  nullptr,
    f_page_erase,  f_chip_erase, f_program,    f_read,         f_be64,      f_flash_id,
    f_ext_be32,    f_ext_be64,   f_ext_sector, f_ext_chip,     f_ext_program, f_ext_read,
    f_ext_flash_id, nullptr,     f_verify,     f_ext_verify,   nullptr,     nullptr,
};

const flash_ops empty_ops = {};


class Commands : public testing::Test {
protected:
    void SetUp() override {
        fake = &module_;
        cur_ops = &fake_ops;
        connection_state = 2;
        char tmpl[] = "/tmp/flint-cmd-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        cur_ops = &hci_ops;
        connection_state = 0;
        fake = nullptr;
        std::string rm = "rm -rf " + dir_;
        ASSERT_EQ(std::system(rm.c_str()), 0);
    }

    // Runs one line through the dispatcher, without its outcome line.
    captured run(const std::string& line) {
        return run_captured([&] { return cmd_run_line(line.c_str()); });
    }

    std::string file(const std::string& name, const std::vector<uint8_t>& content) {
        std::string path = dir_ + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return path;
    }

    std::vector<uint8_t> flash_at(uint32_t addr, uint32_t n) {
        auto at = module_.flash.begin() + (addr - kFlashBase);
        return std::vector<uint8_t>(at, at + n);
    }

    FakeModule module_;
    std::string dir_;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
    return v;
}

std::vector<uint8_t> with_header(const std::vector<uint8_t>& payload, size_t trailer) {
    std::vector<uint8_t> img = {1, 0, 2, 0, 0, 2, 0, 4, 0, 0, 0, 0, 3, 0, 32};
    img.resize(img.size() + 32, 'N');
    uint32_t n = static_cast<uint32_t>(payload.size());
    img.insert(img.end(), {4, 0, 4, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
    img.resize(512, 0);
    img.insert(img.end(), payload.begin(), payload.end());
    img.resize(img.size() + trailer, 0xEE);
    return img;
}

TEST_F(Commands, GuardRefusesEveryGuardedCommandWhenNotConnected) {
    const char* lines[] = {
        "device 4420b", "getprop", "setbaudrate 1000000", "lockbaudrate", "pageerase 0 1",
        "be64 0 1", "chiperase", "program a 0", "flashverify a 0", "flashread 0 1",
        "savebin f 0 1", "modify 0 1", "extbe32 0 1", "extbe64 0 1", "extsectorerase 0 1",
        "extchiperase", "extprogram a 0", "extflashread 0 1", "extflashverify a 0", "extflashid",
        // The guard comes before the argument check.
        "pageerase", "getprop extra",
    };
    connection_state = 0;
    for (const char* line : lines) {
        captured o = run(line);
        EXPECT_EQ(o.result, -1) << line;
        EXPECT_EQ(o.err, "please run 'connect' cmd first.\n") << line;
        EXPECT_EQ(o.out, "") << line;
    }
    EXPECT_TRUE(module_.calls.empty());
}

TEST_F(Commands, GuardWarnsWithoutLoaderAndRuns) {
    connection_state = 1;
    captured o = run("pageerase 0x800000 0x1000");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "please run 'loadfw' cmd first.\n");
    EXPECT_EQ(module_.calls, std::vector<std::string>{"page_erase 800000 1000"});
}

TEST_F(Commands, FlashIdNeedsNoConnection) {
    connection_state = 0;
    captured o = run("flashid whatever");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "RDID(JEDEC) = 164020\n");
    o = run("extflashid");
    EXPECT_EQ(o.result, -1);
    connection_state = 2;
    o = run("extflashid x");
    EXPECT_EQ(o.out, "RDID(JEDEC) = EF4016\n");
}

TEST_F(Commands, WrongArgumentCountsPrintTheUsageOfTheTypedRow) {
    struct Case {
        const char* line;
        const char* usage;
    } cases[] = {
        {"pageerase 1", "Usage:\n\tpageerase [start addr] [size]\n"},
        {"pageerase 1 2 3", "Usage:\n\tpageerase [start addr] [size]\n"},
        {"be64", "Usage:\n\tbe64 [start addr] [size]\n"},
        {"chiperase now", "Usage:\n\tchiperase\n"},
        {"program a", "Usage:\n\tprogram [image] [addr]\n"},
        {"flashverify a", "Usage:\n\tflashverify [img name] [start addr]\n"},
        {"extflashverify a", "Usage:\n\tflashverify [img name] [start addr]\n"},
        {"flashread 0", "Usage:\n\tflashread [start addr] [size]\n"},
        {"savebin f 0", "Usage\n\tsavebin <file> <addr> <size>\n"},
        {"modify 0", "Usage:\n\tmodify [addr] [new values]\n"},
        {"modify 0 1 2", "Usage:\n\tmodify [addr] [new values]\n"},
        {"extbe32 0", "Usage:\n\textbe32 [start addr] [size]\n"},
        {"extbe64 0", "Usage:\n\textbe64 [start addr] [size]\n"},
        {"extsectorerase 0", "Usage:\n\textsectorerase [start addr] [size]\n"},
        {"extchiperase all", "Usage:\n\textchiperase\n"},
        {"extprogram a", "Usage:\n\textprogram [image] [addr]\n"},
        {"extflashread 0 1 2", "Usage:\n\textflashread [start addr] [size]\n"},
        {"getprop x", "Usage:\n\tgetprop\n"},
        {"setbaudrate", "Usage:\n\tsetbaudrate [new baudrate]\n"},
        {"setbaudrate 1 2", "Usage:\n\tsetbaudrate [new baudrate]\n"},
        {"lockbaudrate x", "Usage:\n\tlockbaudrate\n"},
    };
    for (const Case& c : cases) {
        captured o = run(c.line);
        EXPECT_EQ(o.result, 1) << c.line;
        EXPECT_EQ(o.out, c.usage) << c.line;
    }
    EXPECT_TRUE(module_.calls.empty());
}

TEST_F(Commands, NumbersReachTheOperationsAsTyped) {
    struct Case {
        const char* line;
        const char* call;
    } cases[] = {
        {"pageerase 0x802000 1000", "page_erase 802000 1000"},
        {"pageerase 802001 0X10", "page_erase 802001 10"},
        {"pageerasexyz zz 12q", "page_erase 0 12"},
        {"be64 0x810000 0x10000", "block64_erase 810000 10000"},
        {"extbe32 0x8000 0x8000", "ext_block32_erase 8000 8000"},
        {"extbe64 0 0x10000", "ext_block64_erase 0 10000"},
        {"extsectorerase 0x1000 0x2000", "ext_sector_erase 1000 2000"},
        {"setbaudrate 1000000", "set_baudrate 1000000"},
        {"setbaudrate fast", "set_baudrate 0"},
        // Beyond 32 bits a number saturates; it never wraps into the flash.
        {"pageerase 100802000 0", "page_erase FFFFFFFF 0"},
        {"pageerase 0 0x1000000000000000000", "page_erase 0 FFFFFFFF"},
        {"pageerase -0x100000000 0", "page_erase FFFFFFFF 0"},
        {"pageerase 0 -0x10", "page_erase 0 FFFFFFF0"},
        {"setbaudrate 4295082496", "set_baudrate 2147483647"},
        {"setbaudrate -4294967296", "set_baudrate 2147483648"},
        {"setbaudrate 921600baud", "set_baudrate 921600"},
        {"chiperase", "chip_erase"},
        {"extchiperase", "ext_chip_erase"},
        {"getprop", "get_prop"},
    };
    for (const Case& c : cases) {
        module_.calls.clear();
        captured o = run(c.line);
        EXPECT_EQ(o.result, 0) << c.line;
        EXPECT_EQ(module_.calls, std::vector<std::string>{c.call}) << c.line;
    }
}

TEST_F(Commands, OperationResultsPassUnchanged) {
    struct Case {
        const char* line;
        const char* slot;
        int32_t code;
    } cases[] = {
        {"pageerase 0 1", "page_erase", 1},  {"be64 0 1", "block64_erase", -1},
        {"chiperase", "chip_erase", 2},      {"extbe32 0 1", "ext_block32_erase", -1},
        {"extchiperase", "ext_chip_erase", 2}, {"getprop", "get_prop", -1},
        {"setbaudrate 9", "set_baudrate", 1},
    };
    for (const Case& c : cases) {
        module_.result[c.slot] = c.code;
        captured o = run(c.line);
        EXPECT_EQ(o.result, c.code) << c.line;
        EXPECT_EQ(o.out.find("successfully"), std::string::npos) << c.line;
    }
    module_.result.clear();
    EXPECT_EQ(run("setbaudrate 921600").out, "set baudrate: 921600 successfully\n");
}

TEST_F(Commands, EmptySlotsAreReportedNotCalled) {
    cur_ops = &empty_ops;
    struct Case {
        const char* line;
        const char* slot;
    } cases[] = {
        {"lockbaudrate", "lock_baudrate"}, {"getprop", "get_prop"},
        {"pageerase 0 1", "page_erase"},   {"program f 0", "program"},
        {"flashread 0 1", "read"},         {"modify 0 1", "read"},
        {"flashid", "flash_id"},           {"extprogram f 0", "ext_program"},
        {"extflashverify f 0", "ext_verify"}, {"extflashid", "ext_flash_id"},
        {"extchiperase", "ext_chip_erase"}, {"loadfw a KVL4420B_V3 1", "download_fw"},
    };
    connection_state = 1;
    for (const Case& c : cases) {
        captured o = run(c.line);
        EXPECT_NE(o.result, 0) << c.line;
        EXPECT_NE(o.err.find(std::string(c.slot) + " is not available on this link\n"), std::string::npos)
            << c.line << ": " << o.err;
    }
}

TEST_F(Commands, FlashreadDumpsSixteenBytesALine) {
    for (uint32_t i = 0; i < 0x25; ++i) module_.flash[i] = static_cast<uint8_t>(0xA0 + i);
    captured o = run("flashread 0x800000 0x25");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out,
              "00800000 = A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \n"
              "00800010 = B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA BB BC BD BE BF \n"
              "00800020 = C0 C1 C2 C3 C4 \n");
    o = run("extflashread 0x10 0x11");
    EXPECT_EQ(o.out,
              "00000010 = 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n"
              "00000020 = 10 \n");
    EXPECT_EQ(run("flashread 0x800000 0").out, "");
}

TEST_F(Commands, ReadFailuresNameSizeAndAddress) {
    module_.result["read"] = 2;
    captured o = run("flashread 0x80abcd 0x25");
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "read 37 bytes at 0080ABCD fails\n");
    module_.result["ext_read"] = -1;
    o = run("extflashread 0 16");
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "read 22 bytes at 00000000 fails\n");
    std::string path = dir_ + "/dump.bin";
    o = run("savebin " + path + " 0x800000 0x10");
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(o.err, "read 16 bytes at 00800000 fails\n");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(Commands, SavebinWritesWhatWasRead) {
    std::vector<uint8_t> want = pattern(0x30);
    std::copy(want.begin(), want.end(), module_.flash.begin() + 0x100);
    std::string path = dir_ + "/dump.bin";
    captured o = run("savebin " + path + " 0x800100 0x30");
    EXPECT_EQ(o.result, 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> got(0x40);
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_EQ(got, want);
    o = run("savebin " + dir_ + "/no/such/dir.bin 0x800100 0x30");
    EXPECT_EQ(o.result, 3);
    EXPECT_EQ(o.err, "open " + dir_ + "/no/such/dir.bin fails\n");
}

TEST_F(Commands, ProgramSendsThePayloadBehindAHeader) {
    std::vector<uint8_t> payload = pattern(0x1000, 7);
    struct Case {
        const char* what;
        std::vector<uint8_t> content;
        std::vector<uint8_t> sent;
        const char* lines;
    } cases[] = {
        {"short file", pattern(100), pattern(100), "file size: 100\npayload length: 100\n"},
        {"header", with_header(payload, 0), payload, "file size: 4608\npayload length: 4096\n"},
        {"header and trailer", with_header(payload, 300), payload, "file size: 4908\npayload length: 4096\n"},
    };
    for (const Case& c : cases) {
        std::string path = file("img.bin", c.content);
        for (const char* cmd : {"program", "flashverify"}) {
            module_.last_bytes = {0xDE, 0xAD};
            captured o = run(std::string(cmd) + " " + path + " 0x802000 ignored");
            EXPECT_EQ(o.result, 0) << c.what << " " << cmd;
            EXPECT_EQ(o.out, c.lines) << c.what << " " << cmd;
            EXPECT_EQ(module_.last_bytes, c.sent) << c.what << " " << cmd;
            EXPECT_EQ(module_.calls.back(), fmt(std::string(cmd) == "program" ? "program %X %X" : "verify %X %X",
                                                0x802000, static_cast<uint32_t>(c.sent.size())));
        }
    }
}

TEST_F(Commands, ProgramFailures) {
    captured o = run("program " + dir_ + "/missing.bin 0x802000");
    EXPECT_EQ(o.result, 3);
    EXPECT_EQ(o.err, "open " + dir_ + "/missing.bin fails\n");
    std::string path = file("img.bin", pattern(64));
    module_.result["verify"] = 1;
    EXPECT_EQ(run("flashverify " + path + " 0x802000").result, 1);
    module_.result["program"] = -1;
    EXPECT_EQ(run("program " + path + " 0x802000").result, -1);
}

TEST_F(Commands, ExternalImagesGoWhole) {
    std::vector<uint8_t> headed = with_header(pattern(64), 0);
    std::string path = file("ext.bin", headed);
    captured o = run("extprogram " + path + " 0x1000");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "file size: 576\n");
    EXPECT_EQ(module_.last_bytes, headed);
    EXPECT_EQ(module_.calls.back(), "ext_program 1000 240");

    std::vector<uint8_t> content = pattern(300);
    path = file("v.bin", content);
    uint16_t crc = crc16(0, content.data(), 300);
    char line[32];
    std::snprintf(line, sizeof line, "crc16 = %04X\n", crc);
    o = run("extflashverify " + path + " 0x2000");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, std::string("file size: 300\n") + line + line);
    EXPECT_EQ(module_.last_crc, crc);
    EXPECT_EQ(module_.calls.back(), "ext_verify 2000 12C");
    module_.result["ext_verify"] = -1;
    EXPECT_EQ(run("extflashverify " + path + " 0x2000").result, -1);
}

TEST_F(Commands, ExternalMissingOrEmptyFile) {
    std::string empty = file("empty.bin", {});
    struct Case {
        std::string line;
        std::string out;
        std::string err;
    } cases[] = {
        {"extprogram " + dir_ + "/none.bin 0", "file size: 0\n", "open " + dir_ + "/none.bin fails\n"},
        {"extflashverify " + dir_ + "/none.bin 0", "file size: 0\n", "open " + dir_ + "/none.bin fails\n"},
        {"extprogram " + empty + " 0", "file size: 0\n",
         "extprogram: " + empty + " holds no bytes, nothing was sent\n"},
        {"extflashverify " + empty + " 0", "file size: 0\n",
         "extflashverify: " + empty + " holds no bytes, nothing was sent\n"},
    };
    for (const Case& c : cases) {
        captured o = run(c.line);
        EXPECT_EQ(o.result, 4) << c.line;
        EXPECT_EQ(o.out, c.out) << c.line;
        EXPECT_EQ(o.err, c.err) << c.line;
    }
    EXPECT_TRUE(module_.calls.empty());
}

// Programming or verifying nothing would pass a module that holds nothing of
// the image: an empty file, or a header that declares no payload, is refused.
TEST_F(Commands, ImageWithoutPayloadIsRefused) {
    const std::vector<uint8_t> nothing;
    for (const auto& content : {nothing, with_header(nothing, 100)}) {
        std::string path = file("img.bin", content);
        for (const char* cmd : {"program", "flashverify"}) {
            captured o = run(std::string(cmd) + " " + path + " 0x802000");
            EXPECT_EQ(o.result, 3) << cmd;
            EXPECT_EQ(o.err, std::string(cmd) + ": " + path + " holds no payload, nothing was sent\n");
        }
    }
    EXPECT_TRUE(module_.calls.empty());
}

// Only regular files are read: a folder, a device or a FIFO is refused
// without blocking and without a word to the module.
TEST_F(Commands, InputThatIsNoRegularFileIsRefused) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir_, std::string("/dev/zero"), fifo}) {
        const std::string refused = path + " is not a regular file (a folder, device or pipe); give the path of a file\n";
        struct Case {
            std::string line;
            int32_t result;
        } cases[] = {{"program " + path + " 0x802000", 3},
                     {"flashverify " + path + " 0x802000", 3},
                     {"extprogram " + path + " 0", 4},
                     {"extflashverify " + path + " 0", 4}};
        for (const Case& c : cases) {
            captured o = run(c.line);
            EXPECT_EQ(o.result, c.result) << c.line;
            EXPECT_EQ(o.err.substr(0, refused.size()), refused) << c.line;
        }
        captured o = run("savebin " + path + " 0x802000 0x10");
        EXPECT_EQ(o.result, 3) << path;
        EXPECT_EQ(o.err, "savebin: " + path + " is not a regular file (a folder, device or pipe), nothing was written\n");
    }
    EXPECT_TRUE(module_.calls.empty());
}

// A range whose end lies beyond 0xFFFFFFFF is refused before the link is
// touched: the pieces of a transfer would otherwise wrap to address 0.
TEST_F(Commands, RangesPastFourGibibytesAreRefused) {
    const std::string img = file("img.bin", pattern(301));
    const struct Case {
        std::string line;
        const char* range;
    } cases[] = {
        {"pageerase 0xFFFFF000 0x1001", "0xFFFFF000 + 0x1001"},
        {"be64 0xFFFF0000 0x20000", "0xFFFF0000 + 0x20000"},
        {"extbe32 0xFFFFFFFF 2", "0xFFFFFFFF + 0x2"},
        {"extbe64 0xFFFFFFFF 2", "0xFFFFFFFF + 0x2"},
        {"extsectorerase 0xFFFFFFFF 2", "0xFFFFFFFF + 0x2"},
        {"flashread 0xFFFFFF0C 0x200", "0xFFFFFF0C + 0x200"},
        {"extflashread 0xFFFFFF0C 0x200", "0xFFFFFF0C + 0x200"},
        {"savebin " + dir_ + "/out.bin 0xFFFFFF0C 0x200", "0xFFFFFF0C + 0x200"},
        {"program " + img + " 0xFFFFFF0C", "0xFFFFFF0C + 0x12D"},
        {"flashverify " + img + " 0xFFFFFF0C", "0xFFFFFF0C + 0x12D"},
        {"extprogram " + img + " 0xFFFFFF0C", "0xFFFFFF0C + 0x12D"},
        {"extflashverify " + img + " 0xFFFFFF0C", "0xFFFFFF0C + 0x12D"},
    };
    for (const Case& c : cases) {
        captured o = run(c.line);
        const std::string word = c.line.substr(0, c.line.find(' '));
        EXPECT_EQ(o.result, -1) << c.line;
        EXPECT_EQ(o.err, word + ": " + c.range +
                             " bytes runs past 0xFFFFFFFF, the end of the address space; nothing was done\n")
            << c.line;
    }
    EXPECT_TRUE(module_.calls.empty());
    // Up to the last byte of the address space is a range like any other.
    EXPECT_EQ(run("flashread 0xFFFFFFF0 0x10").result, 0);
}

TEST_F(Commands, ModifyRewritesOnePage) {
    std::vector<uint8_t> page = pattern(4096, 3);
    std::copy(page.begin(), page.end(), module_.flash.begin() + 0x1000);
    captured o = run("modify 0x801234 11:22");
    EXPECT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(module_.calls,
              (std::vector<std::string>{"read 801000 1000", "page_erase 801000 1000", "program 801000 1000"}));
    page[0x234] = 0x11;
    page[0x235] = 0x22;
    EXPECT_EQ(flash_at(0x801000, 4096), page);

    module_.calls.clear();
    std::string values = "1";
    for (int i = 1; i < 32; ++i) values += ":" + std::to_string(i % 10);
    EXPECT_EQ(run("modify 0x802000 " + values).result, 0);
    EXPECT_EQ(run("modify 0x802FE0 " + values).result, 0);
    EXPECT_EQ(flash_at(0x802FFF, 1), std::vector<uint8_t>{1});
}

TEST_F(Commands, ModifyRefusesBadValuesBeforeTouchingTheFlash) {
    std::string values33 = "0";
    for (int i = 1; i < 33; ++i) values33 += ":AA";
    std::string values32 = "0";
    for (int i = 1; i < 32; ++i) values32 += ":AA";
    struct Case {
        std::string line;
        std::string err;
    } cases[] = {
        {"modify 0x801234 11::22", "read new bytes error!\n"},
        {"modify 0x801234 11:22:", "read new bytes error!\n"},
        {"modify 0x801234 :", "read new bytes error!\n"},
        {"modify 0x801234 " + values33, "modify: at most 32 new values are accepted, 33 were given\n"},
        {"modify 0x801FE1 " + values32,
         "modify: 32 values at 0x00801FE1 run past the end of the 4096-byte page at 0x00801000; "
         "nothing was changed\n"},
        {"modify 0x801FFF 1:2",
         "modify: 2 values at 0x00801FFF run past the end of the 4096-byte page at 0x00801000; "
         "nothing was changed\n"},
    };
    for (const Case& c : cases) {
        captured o = run(c.line);
        EXPECT_EQ(o.result, 2) << c.line;
        EXPECT_EQ(o.err, c.err) << c.line;
    }
    EXPECT_TRUE(module_.calls.empty());
}

TEST_F(Commands, ModifyStepFailures) {
    struct Case {
        const char* slot;
        int32_t code;
        const char* err;
        size_t calls;
    } cases[] = {
        {"read", 2, "read bytes at 00801000 fails\n", 1},
        {"page_erase", 1, "erase page at 00801000 fails\n", 2},
        {"program", 1, "page at 00801000 is erased, but program fails\n", 3},
    };
    for (const Case& c : cases) {
        module_.calls.clear();
        module_.result.clear();
        module_.result[c.slot] = c.code;
        captured o = run("modify 0x801234 11:22");
        EXPECT_EQ(o.result, c.code) << c.slot;
        EXPECT_EQ(o.err, c.err) << c.slot;
        EXPECT_EQ(module_.calls.size(), c.calls) << c.slot;
    }
}

TEST_F(Commands, ConnectChoosesLinkAndRate) {
    std::string path128(128, 'p');
    path128[0] = '/';
    struct Case {
        std::string line;
        int32_t result;
        int32_t state;
        std::string call;  // "" when open is not called
        std::string out;
        std::string err;
    } cases[] = {
        {"connect COM3", 0, 1, "open COM3 115200", "", ""},
        {"connect COM3 921600", 0, 1, "open COM3 921600", "", ""},
        {"connect COM3 921600 x", 0, 1, "open COM3 115200", "", ""},
        {"connect com12 fast", 0, 1, "open com12 0", "", ""},
        {"connect Com7 9600", 0, 1, "open Com7 9600", "", ""},
        {"connect /dev/ttyUSB0 1000000", 0, 1, "open /dev/ttyUSB0 1000000", "", ""},
        {"connect", 1, 0, "", "list all ports: to be implemented.\n", ""},
        {"connect tty0", 2, 0, "", "", "open tty0 error!\n"},
        {"connect co", 2, 0, "", "", "open co error!\n"},
        {"connect " + path128, -1, 0, "", "",
         "connect: the port text is 128 characters long; at most 127 are accepted, nothing was opened\n"},
        {"connect " + std::string(200, 'x'), 2, 0, "", "", "open " + std::string(200, 'x') + " error!\n"},
    };
    for (const Case& c : cases) {
        cur_ops = &fake_ops;
        module_.calls.clear();
        connection_state = 2;
        captured o = run(c.line);
        EXPECT_EQ(o.result, c.result) << c.line;
        EXPECT_EQ(connection_state, c.state) << c.line;
        EXPECT_EQ(module_.calls, c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call})
            << c.line;
        EXPECT_EQ(o.out, c.out) << c.line;
        EXPECT_EQ(o.err, c.err) << c.line;
        EXPECT_EQ(cur_ops, &fake_ops) << c.line;
    }
    module_.result["open"] = 1;
    EXPECT_EQ(run("connect COM4").result, 1);
    EXPECT_EQ(connection_state, 0);
}

TEST_F(Commands, DisconnectClosesOnlyALiveLink) {
    connection_state = 0;
    captured o = run("disconnect");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_TRUE(module_.calls.empty());

    connection_state = 2;
    module_.result["close"] = 5;
    o = run("disconnect now");
    EXPECT_EQ(o.result, 5);
    EXPECT_EQ(o.err, "disconnect fail: 5\n");
    EXPECT_EQ(connection_state, 2);
    module_.result.clear();
    EXPECT_EQ(run("disconnect").result, 0);
    EXPECT_EQ(connection_state, 0);
    EXPECT_EQ(cur_ops, &fake_ops);
}

TEST_F(Commands, DeviceOverAnotherLinkWarnsAndStillSelects) {
    captured o = run("device");
    EXPECT_EQ(o.result, 1);
    const std::string usage = "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD interface now.";
    EXPECT_EQ(o.out, usage);
    o = run("device 4420b");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, usage + "\napply KVL4420B setting...\n");
    EXPECT_EQ(swd_device, &swd_family_4420b);
    o = run("device 4421b");
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, usage + "\n");
    EXPECT_EQ(o.err, "select device name error!\n");
    EXPECT_EQ(swd_device, nullptr);
    swd_device = &swd_family_4410c;
}

TEST_F(Commands, LoadfwArgumentRulesAndStates) {
    const std::string usage =
        "Usage:\n\tloadfw fw_img ic_cut program_mode\n\tloadfw --autodetect fw_dir program_mode\n"
        "\tloadfw --autodetect program_mode\n\tic cut: KVL4410A KVL4410C_A KVL4410C_B KVL4420B_V1 "
        "KVL4420B_V2 KVL4420B_V3 KVL4420B_V3_SE\n";
    struct Case {
        const char* line;
        int32_t state_before;
        int32_t result;
        int32_t state_after;
        std::string out;
        std::string err;
    } cases[] = {
        {"loadfw 1", 1, -1, 1, usage, ""},
        {"loadfirmware a b c d", 1, -1, 1, usage, ""},
        {"loadfw --autodetect 2", 0, 0, 2, "", ""},
        {"loadfw --autodetect fw 4", 0, 0, 2, "", ""},
        {"loadfw --autodetect 01", 0, 0, 2, "", ""},
        {"loadfw --autodetect 1", 2, 0, 2, "", "FW has been loaded.\n"},
        {"loadfw img KVL4420B_V3 3", 2, 0, 2, "", "FW has been loaded.\n"},
        {"loadfw --autodetect 3", 0, -2, 0, "", "please run 'connect' cmd first.\n"},
        {"loadfw img 1", 1, -6, 1, usage, "wrong number of parameters\n"},
        {"loadfw img KVL4420B_V3", 1, 0, 2, "", ""},  // the last word is the mode
        {"loadfw img kvl4420b_v3 1", 1, -7, 1, "", ""},
        {"loadfw /no/such/img.bin KVL4420B_V3 1", 1, -8, 1, "FW Loader: KVL4420B_FW_V3.bin\n",
         "open /no/such/img.bin fails\n"},
    };
    for (const Case& c : cases) {
        connection_state = c.state_before;
        captured o = run(c.line);
        EXPECT_EQ(o.result, c.result) << c.line;
        EXPECT_EQ(connection_state, c.state_after) << c.line;
        EXPECT_EQ(o.out, c.out) << c.line;
        EXPECT_EQ(o.err, c.err) << c.line;
    }
    EXPECT_TRUE(module_.calls.empty());
}

TEST_F(Commands, LoadfwRefusesAnImagePathLongerThanItsBuffer) {
    // Script lines (not the shell's) can carry words longer than a line.
    connection_state = 1;
    std::string path = "/" + std::string(300, 'p');
    captured o = run("loadfw " + path + " KVL4420B_V3 1");
    EXPECT_EQ(o.result, -8);
    EXPECT_EQ(o.err, "loadfw: the image path " + path + " is longer than 255 characters, refused\n");
    EXPECT_EQ(connection_state, 1);
    EXPECT_TRUE(module_.calls.empty());
}

TEST_F(Commands, LoadfwModeZeroPreparesWhateverItReturns) {
    connection_state = 0;
    module_.result["download_fw"] = 1;
    EXPECT_EQ(run("loadfw --autodetect 0").result, 1);
    EXPECT_EQ(connection_state, 2);
    EXPECT_EQ(module_.calls, std::vector<std::string>{"download 0"});
}

TEST_F(Commands, LoadfwRefusesUnusableImagesAndFailedDownloads) {
    struct Case {
        size_t size;
        int32_t download_result;
        int32_t result;
        bool downloaded;
    } cases[] = {
        {0, 0, -9, false}, {1001, 0, -9, false}, {1002, 0, -9, false}, {1024, 3, -10, true},
    };
    for (const Case& c : cases) {
        module_.calls.clear();
        module_.result["download_fw"] = c.download_result;
        connection_state = 1;
        std::string path = file("ldr.bin", pattern(c.size));
        captured o = run("loadfw " + path + " KVL4420B_V3 1");
        EXPECT_EQ(o.result, c.result) << c.size;
        EXPECT_EQ(connection_state, 1) << c.size;
        EXPECT_EQ(module_.calls.size(), c.downloaded ? 1u : 0u) << c.size;
        EXPECT_EQ(o.out, "FW Loader: KVL4420B_FW_V3.bin\nfile size: " + std::to_string(c.size) + "\n") << c.size;
        EXPECT_FALSE(o.err.empty()) << c.size;
    }
}

TEST_F(Commands, LoadfwOnASerialTableInstallsTheModesTable) {
    struct Case {
        const char* line;
        const flash_ops* table;
    } cases[] = {
        {"loadfw --autodetect 2", &fcimg_ops}, {"loadfw --autodetect 4", &loader_ops},
        {"loadfw --autodetect 1", &loader_ops}, {"loadfw --autodetect 3", &loader_ops},
        {"loadfw --autodetect 0", &hci_ops},
    };
    for (const Case& c : cases) {
        for (const flash_ops* before : {&hci_ops, &loader_ops, &fcimg_ops}) {
            cur_ops = before;
            connection_state = 2;
            run(c.line);
            EXPECT_EQ(cur_ops, c.table) << c.line;
        }
        cur_ops = &usb_ops;
        connection_state = 2;
        run(c.line);
        EXPECT_EQ(cur_ops, &usb_ops) << c.line;
    }
}

}  // namespace
