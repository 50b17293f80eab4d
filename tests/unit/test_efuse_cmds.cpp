// read_efuse's program mode field and the merge commands' slots: what the
// end-to-end tests cannot reach (every way a field address may be written,
// a table that lacks one of the four operations a merge needs).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture.h"
#include "commands/commands.h"
#include "commands/connection.h"
#include "link/flash_ops.h"
#include "shell/cmd.h"

namespace {

const char* const kRefused = "does not name the program mode field";

captured exec(const std::string& line) {
    return run_captured([&] { return cmd_exec_line(line.c_str()); });
}

class ReadEfuseField : public testing::Test {
protected:
    void TearDown() override { read_efuse_register_field(nullptr); }
    uint32_t mode_ = 99;
};

TEST_F(ReadEfuseField, TextIsTheAddressInFullWidthUpperCaseHex) {
    const std::string text = read_efuse_register_field(&mode_);
    ASSERT_EQ(text.size(), 2 * sizeof(void*));
    for (char c : text) EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c)) && !std::islower(c)) << text;
    EXPECT_EQ(std::strtoull(text.c_str(), nullptr, 16), reinterpret_cast<uintptr_t>(&mode_));
    EXPECT_STREQ(read_efuse_register_field(nullptr), "");
}

// Only texts of the registered field's value pass to detection; with no link
// open detection then fails in the link layer, and the field stays as it was.
TEST_F(ReadEfuseField, OnlyTheRegisteredValueIsTaken) {
    const std::string text = read_efuse_register_field(&mode_);
    char pointer[64];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&mode_));
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Case {
        std::string arg;
        bool named;
    };
    const std::vector<Case> cases = {
        {text, true},         {"0x" + text, true},  {"0X" + lower, true},
        {"000" + text, true}, {pointer, true},      {text + "0", false},
        {"1234", false},      {"0x", false},        {"", false},
        {text.substr(0, text.size() - 1), false}, {text + "g", false}, {"-" + text, false},
    };
    for (const Case& c : cases) {
        const captured o = exec("read_efuse " + c.arg);
        if (c.arg.empty()) {
            EXPECT_EQ(o.result, 1);
            continue;
        }
        EXPECT_EQ(o.result, -1) << c.arg;
        EXPECT_EQ(o.err.find(kRefused) == std::string::npos, c.named) << c.arg << ": " << o.err;
        EXPECT_EQ(mode_, 99u) << c.arg;
    }
    read_efuse_register_field(nullptr);
    EXPECT_NE(exec("read_efuse " + text).err.find(kRefused), std::string::npos);
}

// ------------------------------------------------------------ merge slots

std::vector<std::string> calls;

int32_t rec_read(uint32_t, uint32_t len, uint8_t* dest) {
    calls.push_back("read");
    for (uint32_t i = 0; i < len; ++i) dest[i] = 0;
    return 0;
}
int32_t rec_erase(uint32_t, uint32_t) {
    calls.push_back("page_erase");
    return 0;
}
int32_t rec_program(uint32_t, uint32_t, const uint8_t*) {
    calls.push_back("program");
    return 0;
}
int32_t rec_verify(uint32_t, uint32_t, const uint8_t*) {
    calls.push_back("verify");
    return 0;
}

flash_ops table_without(const std::string& slot) {
    flash_ops t{};
    t.read = slot == "read" ? nullptr : rec_read;
    t.page_erase = slot == "page_erase" ? nullptr : rec_erase;
    t.program = slot == "program" ? nullptr : rec_program;
    t.verify = slot == "verify" ? nullptr : rec_verify;
    return t;
}

TEST(MergeCommands, NeedAllFourOperationsBeforeReadingAnything) {
    std::vector<uint8_t> img(0x1006 + 7, 0);
    img[4] = 0x8E, img[5] = 0x27, img[8] = 13;
    img[0x1004] = 7;
    const uint8_t e[] = {0x01, 0x01, 0x02, 0x0A, 0x0B, 0xFF, 0xFF};
    std::copy(e, e + 7, img.begin() + 0x1006);
    char path[] = "/tmp/flint-oem-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, img.data(), img.size()), static_cast<ssize_t>(img.size()));
    close(fd);
    const std::string image = path;

    const flash_ops* saved = cur_ops;
    connection_state = 2;
    for (const char* slot : {"read", "page_erase", "program", "verify"}) {
        const flash_ops t = table_without(slot);
        cur_ops = &t;
        for (const std::string& line : {std::string("addmac 00:11:22:33:44:55 0x801000"),
                                       "configmerge " + image + " 0x802000"}) {
            calls.clear();
            const captured o = exec(line);
            EXPECT_NE(o.result, 0) << line << " without " << slot;
            EXPECT_EQ(o.err, std::string(slot) + " is not available on this link\n") << line;
            EXPECT_TRUE(calls.empty()) << line << " without " << slot;
        }
    }
    cur_ops = saved;
    connection_state = 0;
    std::remove(image.c_str());
}

}  // namespace
