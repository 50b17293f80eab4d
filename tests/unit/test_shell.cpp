// The dispatcher and the environment store, called directly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "capture.h"
#include "shell/cmd.h"
#include "link/env.h"
#include "shell/env.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::vector<std::string> split(const char* line, int slots = CMD_MAX_ARGS + 1) {
    char* array[CMD_MAX_ARGS + 1] = {};
    int n = cmd_split(line, slots, array);
    std::vector<std::string> words;
    for (int i = 0; i < n; ++i) {
        words.emplace_back(array[i]);
        std::free(array[i]);
    }
    EXPECT_EQ(array[n], nullptr);
    return words;
}

TEST(CmdSplit, SplitsAtBlanksOnly) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"connect  COM3   921600", {"connect", "COM3", "921600"}},
        {"   ", {}},
        {"", {}},
        {"a\tb c", {"a\tb", "c"}},
        {" lead trail ", {"lead", "trail"}},
        {"1 2 3 4 5 6 7 8 9 10", {"1", "2", "3", "4", "5", "6", "7", "8"}},
    };
    for (const Case& c : cases) EXPECT_EQ(split(c.line), c.words) << c.line;
}

TEST(CmdSplit, TooFewSlotsGivesNothing) {
    char* array[2] = {reinterpret_cast<char*>(1), nullptr};
    EXPECT_EQ(cmd_split("word", 1, array), 0);
    EXPECT_EQ(array[0], nullptr);
}

TEST(CmdFind, PrefixRuleInTableOrder) {
    struct Case {
        const char* line;
        const char* row;  // nullptr: no row
    } cases[] = {
        {"version", "ver"},          {"verify", "ver"},
        {"pageerasexyz 1 2", "pageerase"}, {"loadfirmware a b", "loadfirmware"},
        {"loadfw a b", "loadfw"},    {"extflashverify f 0", "extflashverify"},
        {"quit", nullptr},           {" ver", nullptr},
        {"VER", nullptr},            {"", nullptr},
    };
    for (const Case& c : cases) {
        cmd_entry* row = cmd_find(c.line);
        if (c.row == nullptr) {
            EXPECT_EQ(row, nullptr) << c.line;
            continue;
        }
        ASSERT_NE(row, nullptr) << c.line;
        EXPECT_STREQ(row->name, c.row) << c.line;
        cmd_release_args(row->argv);
    }
}

TEST(CmdTable, EveryRowIsReachableByItsOwnName) {
    for (int i = 0; i < CMD_TABLE_ROWS; ++i) {
        for (int j = 0; j < i; ++j)
            EXPECT_NE(std::string(cmd_table[i].name).rfind(cmd_table[j].name, 0), 0u)
                << cmd_table[j].name << " hides " << cmd_table[i].name;
    }
}

int32_t g_seen_argc;
std::vector<std::string> g_seen_args;
int32_t recording_handler(int32_t argc, char** argv) {
    g_seen_argc = argc;
    g_seen_args.assign(argv, argv + argc);
    EXPECT_EQ(argv[argc], nullptr);
    return 5;
}

TEST(CmdExecLine, HandsAtMostEightWordsAndReleasesThem) {
    cmd_handler saved = cmd_table[0].handler;
    cmd_table[0].handler = recording_handler;
    CaptureStdout();
    int32_t result = cmd_exec_line("ver 1 2 3 4 5 6 7 8 9");
    std::string out = GetCapturedStdout();
    cmd_table[0].handler = saved;
    EXPECT_EQ(result, 5);
    EXPECT_EQ(out, "-ERR: 5-\n");
    EXPECT_EQ(g_seen_argc, 8);
    EXPECT_EQ(g_seen_args.back(), "7");
    for (int i = 0; i <= CMD_MAX_ARGS; ++i) EXPECT_EQ(cmd_table[0].argv[i], nullptr);
}

TEST(CmdExecLine, OutcomeLines) {
    struct Case {
        const char* line;
        int32_t result;
        const char* out;
    } cases[] = {
        {"ver", 0, FLINT_VERSION "\n-OK-\n"},
        {"", 127, "Unknown command. 'help' for help\n-ERR: 127-\n"},
        {"help nosuchcmd", 127, "Unknown command. 'help' for help\n-ERR: 127-\n"},
        {"help pageerasexyz", 0, "Usage:\n\tpageerase [start addr] [size]\n-OK-\n"},
        {"help loadfirmware", 0,
         "Usage:\n\tloadfw fw_img ic_cut program_mode\n\tloadfw --autodetect fw_dir program_mode\n"
         "\tloadfw --autodetect program_mode\n\tic cut: KVL4410A KVL4410C_A KVL4410C_B KVL4420B_V1 "
         "KVL4420B_V2 KVL4420B_V3 KVL4420B_V3_SE\n-OK-\n"},
        {"help device", 0,
         "Usage:\n\tdevice [4410a/4410c/4420b]\n\t only available under SWD interface now.-OK-\n"},
        {"shell", 1, "Missing parameter!\n-ERR: 1-\n"},
    };
    for (const Case& c : cases) {
        CaptureStdout();
        int32_t result = cmd_exec_line(c.line);
        EXPECT_EQ(GetCapturedStdout(), c.out) << c.line;
        EXPECT_EQ(result, c.result) << c.line;
    }
}

// Each test runs in a fresh working directory, since "diag.env" lives there.
class EnvStore : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/flint-env-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        env_clear();
    }
    void TearDown() override {
        env_clear();
        std::remove((dir_ + "/diag.env").c_str());
        chmod(dir_.c_str(), 0700);
        EXPECT_EQ(chdir(old_cwd_), 0);
        rmdir(dir_.c_str());
    }
    static std::string listing() {
        CaptureStdout();
        env_print_all();
        return GetCapturedStdout();
    }
    static void write_file(const std::string& text) {
        std::ofstream(ENV_FILE, std::ios::binary) << text;
    }
    std::string dir_;
    char old_cwd_[4096];
};

TEST_F(EnvStore, LoadStopsAfter256Lines) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += "V" + std::to_string(i) + "=x\n";
    write_file(text);
    env_load();
    EXPECT_NE(env_find("V255"), nullptr);
    EXPECT_EQ(env_find("V256"), nullptr);
}

TEST_F(EnvStore, WindowsLineEndsAreDropped) {
    write_file("A=1\r\nB=2\r\n");
    env_load();
    EXPECT_STREQ(env_find("A")->value, "1");
    EXPECT_STREQ(env_find("B")->value, "2");
}

// A file line holds at most 254 characters; the line end behind a line of
// exactly that length belongs to it, and a longer line is refused whole
// (with a message) rather than cut into a shorter value and a variable of
// its own.
TEST_F(EnvStore, LinesAtTheLengthLimit) {
    const std::string v252(252, 'v');
    const std::string v253(253, 'v');
    const std::string refused2 = "diag.env: line 2 is longer than 254 characters and was not loaded\n";
    const std::string refused1 = "diag.env: line 1 is longer than 254 characters and was not loaded\n";
    struct Case {
        std::string file;
        std::string listing;
        std::string err;
    } cases[] = {
        {"N=" + v252 + "\nB=2\n", "N=" + v252 + "\nB=2\n", ""},
        {"N=" + v252 + "\r\nB=2\r\n", "N=" + v252 + "\nB=2\n", ""},
        {"N=" + v252 + "\n\nB=2\n", "N=" + v252 + "\n=\nB=2\n", ""},
        {"N=" + v252.substr(1) + "\n\nB=2\n", "N=" + v252.substr(1) + "\n=\nB=2\n", ""},
        {"N=" + v252.substr(1) + "\r\n\r\nB=2\n", "N=" + v252.substr(1) + "\n=\nB=2\n", ""},
        {"N=" + v252, "N=" + v252 + "\n", ""},
        {"A=1\nN=" + v253 + "\nB=2\n", "A=1\nB=2\n", refused2},
        {"A=1\nN=" + v252 + "xy=z\r\nB=2\n", "A=1\nB=2\n", refused2},
        {"N=" + v252 + std::string(600, 'w'), "", refused1},
    };
    for (const Case& c : cases) {
        write_file(c.file);
        const captured got = run_captured([] {
            env_load();
            return 0;
        });
        EXPECT_EQ(listing(), c.listing) << c.file.size();
        EXPECT_EQ(got.err, c.err) << c.file.size();
    }
}

}  // namespace
