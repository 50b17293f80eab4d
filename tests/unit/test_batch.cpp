// The one-shot front end without a module: the options, the job file, the
// packed image and the script a run builds, with the line runner replaced by
// a recorder that answers each line with a scripted result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "batch/config.h"
#include "batch/options.h"
#include "batch/script.h"
#include "image/packed_image.h"
#include "link/flash_ops.h"
#include "shell/cmd.h"
#include "capture.h"

namespace fs = std::filesystem;
using lines = std::vector<std::string>;

namespace {

// ---------------------------------------------------------------- recorder

lines recorded;
// The result for a line; the second argument counts earlier runs of the same line.
std::function<int32_t(const std::string&, int)> answer;

int32_t record_line(const char* line) {
    int earlier = 0;
    for (const std::string& l : recorded) earlier += l == line;
    recorded.emplace_back(line);
    return answer ? answer(line, earlier) : 0;
}

// Fails every run of lines that begin with `word` up to `times` runs (0: always).
std::function<int32_t(const std::string&, int)> fail(const std::string& word, int32_t result, int times = 0) {
    return [=](const std::string& line, int earlier) {
        return line.compare(0, word.size(), word) == 0 && (times == 0 || earlier < times) ? result : 0;
    };
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>((seed + k * 29 + (k >> 7)) & 0xFF);
    return s;
}

// A plain image whose payload names it an OEM configuration image.
std::string config_image(size_t n) {
    std::string s = pattern(n, 9);
    s[4] = static_cast<char>(0x8E);
    s[5] = 0x27;
    return s;
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

struct sub_image {
    uint32_t address;
    std::string payload;
};

// A packed file: signature, subIndicator, the table, then header and payload
// of each sub-image.
std::string packed_file(uint32_t indicator, const std::vector<sub_image>& subs) {
    std::string s = "GM" + std::string(38, '\0') + le32(indicator);
    for (const sub_image& sub : subs)
        s += le32(sub.address) + le32(static_cast<uint32_t>(sub.payload.size() + 512)) + le32(0);
    for (const sub_image& sub : subs) s += std::string(512, 'H') + sub.payload;
    return s;
}

class Batch : public testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("FLINT_TEST_TMP");
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/batch_" + info->name() + "_" +
               std::to_string(getpid());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        old_tmpdir_ = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "";
        setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
        fs::create_directories(dir_ + "/tmp");
        fs::create_directories(dir_ + "/img");
        // Runs start in the test folder, which holds the files that
        // single-image runs name: a run opens them before its first line.
        old_cwd_ = fs::current_path();
        fs::current_path(dir_);
        for (const char* name : {"app.bin", "a.bin", "ef.json"}) write_file(path(name), pattern(64, 7));
        recorded.clear();
        answer = nullptr;
        script_exec_line = record_line;
        image_count = 0;
    }

    void TearDown() override {
        script_exec_line = cmd_exec_line;
        cur_ops = &hci_ops;
        fs::current_path(old_cwd_);
        if (old_tmpdir_.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", old_tmpdir_.c_str(), 1);
        fs::remove_all(dir_);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // flint started as `program` with the words; the records are created and
    // released around the run as the program start does.
    captured run(const lines& words, const std::string& program = "/tools/flint") {
        std::vector<std::string> args{program};
        args.insert(args.end(), words.begin(), words.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        return run_captured([&] {
            batch_records r{};
            if (!batch_records_create(&r, argv[0])) return int64_t{-100};
            const int32_t result = options_run(static_cast<int>(args.size()), argv.data(), &r);
            last_mode_ = r.options->program_mode;
            options_end_run(&r);
            batch_records_release(&r);
            return int64_t{result};
        });
    }

    // A job file in the test folder with its images in img/.
    std::string job(const std::string& files, const std::string& port = "/dev/jobport",
                    const std::string& baud = "921600") {
        const std::string p = path("job.json");
        write_file(p, "{\"quarryconfig\": {\"port\": \"" + port + "\", \"baud\": \"" + baud +
                          "\", \"appimage\": {\"relativepath\": \"img\", \"file\": [" + files + "]}}}");
        return p;
    }

    std::string dir_;
    std::string old_tmpdir_;
    fs::path old_cwd_;
    uint32_t last_mode_ = 0;
};

const char* const HEAD = "Mode detection OK!\nmode determinated!\nCMD combination OK!!!\n";

std::string numbered(const lines& l) {
    std::string s;
    for (size_t i = 0; i < l.size(); ++i) s += "CMD[" + std::to_string(i) + "] " + l[i] + "\n";
    return s;
}

// ---------------------------------------------------------------- script text

TEST_F(Batch, SingleImageScriptsHoldEveryLineFormat) {
    const lines epv = {"-c", "COM6", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096", "-F", "app.bin"};
    auto with = [&](lines extra) {
        lines w = epv;
        w.insert(w.end(), extra.begin(), extra.end());
        return w;
    };
    struct row {
        const char* name;
        lines words;
        std::string program;
        lines script;
    };
    const row rows[] = {
        {"mode 1", with({"-M", "1"}), "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
          "pageerase 0x802000 0x1000", "program app.bin 0x802000", "flashverify app.bin 0x802000", "disconnect"}},
        {"mode 4", with({"-M", "4"}), "/tools/flint",
         {"ver", "setenv DATA_SIZE_PER_PACKET 4096", "connect COM6 2000000", "loadfw --autodetect /tools/fw 4",
          "pageerase 0x802000 0x1000", "program app.bin 0x802000", "flashverify app.bin 0x802000", "disconnect"}},
        {"no folder", with({"-M", "1"}), "flint",
         {"ver", "connect COM6", "loadfw --autodetect 1", "setbaudrate 1000000", "pageerase 0x802000 0x1000",
          "program app.bin 0x802000", "flashverify app.bin 0x802000", "disconnect"}},
        {"chip erase", {"-c", "COM6", "-E", "-e", "-A", "0x802000", "-S", "4096", "-H"}, "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 0", "setbaudrate 1000000", "chiperase",
          "disconnect"}},
        {"verify alone", {"-c", "COM6", "-v", "-F", "a.bin", "-A", "802000", "-M", "3", "-b", "115200"},
         "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 3", "setbaudrate 115200",
          "flashverify a.bin 0x802000", "disconnect"}},
        {"modify, address, eFuse, reboot",
         {"-c", "COM6", "-m", "11:22", "-A", "0x801234", "-x", "00:11:22:33:44:55", "-u", "ef.json", "-r", "-M",
          "2"},
         "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 2", "setbaudrate 1000000",
          "modify 0x801234 11:22", "addmac 00:11:22:33:44:55 0x801000", "efuseburn ef.json", "reboot",
          "disconnect"}},
        {"save", {"-c", "COM6", "-s", "-A", "0x802000", "-S", "0x100", "-F", "out.bin", "-M", "1"},
         "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
          "savebin out.bin 0x802000 0x100", "disconnect"}},
        {"-S in decimal", {"-c", "COM6", "-e", "-A", "802000", "-S", "010", "-M", "1"}, "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
          "pageerase 0x802000 0xA", "disconnect"}},
        {"-S in hex", {"-c", "COM6", "-e", "-A", "802000", "-S", "0x10", "-M", "1"}, "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
          "pageerase 0x802000 0x10", "disconnect"}},
        {"-A beyond 31 bits", {"-c", "COM6", "-e", "-A", "0x1FFFFFFFF", "-S", "99999999999", "-M", "1"},
         "/tools/flint",
         {"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
          "pageerase 0x7FFFFFFF 0x7FFFFFFF", "disconnect"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        recorded.clear();
        captured c = run(r.words, r.program);
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(recorded, r.script);
        EXPECT_EQ(c.out, HEAD + numbered(r.script));
        EXPECT_EQ(c.err, "");
    }
}

TEST_F(Batch, OptionValuesOfEqualMeaningGiveEqualScripts) {
    const lines base = {"-c", "COM6", "-e", "-A", "0x802000", "-S", "4096"};
    auto script_of = [&](lines extra) {
        lines w = base;
        w.insert(w.end(), extra.begin(), extra.end());
        recorded.clear();
        captured c = run(w);
        EXPECT_EQ(c.result, 0) << c.err;
        return recorded;
    };
    EXPECT_EQ(script_of({"-H"}), script_of({"-M", "0"}));
    // An invalid mode falls back to mode 1 after a message, without detection.
    for (const char* bad : {"7", "00"}) {
        SCOPED_TRACE(bad);
        lines w = base;
        w.insert(w.end(), {"-M", bad});
        recorded.clear();
        captured c = run(w);
        EXPECT_EQ(c.err, "Invalid argument for Program Mode, use RAM_PATCH_VENDOR_WRITE_MODE instead\n");
        EXPECT_EQ(recorded, script_of({"-M", "1"}));
        EXPECT_EQ(c.result, 0);
    }
}

TEST_F(Batch, DetectionStoresTheModeThroughTheAddressOfItsLine) {
    const lines words = {"-c", "COM6", "-e", "-A", "0x802000", "-S", "4096"};
    for (uint32_t detected : {1u, 2u}) {
        SCOPED_TRACE(detected);
        recorded.clear();
        answer = [&](const std::string& line, int) {
            if (line.rfind("read_efuse ", 0) == 0) {
                // The address in hexadecimal, at the full width of a pointer.
                const std::string hex = line.substr(11);
                EXPECT_EQ(hex.size(), 2 * sizeof(void*));
                *reinterpret_cast<uint32_t*>(std::strtoull(hex.c_str(), nullptr, 16)) = detected;
            }
            return 0;
        };
        captured c = run(words);
        EXPECT_EQ(c.result, 0);
        ASSERT_GE(recorded.size(), 3u);
        EXPECT_EQ(recorded[0], "connect COM6");
        lines detect = {"connect COM6", recorded[1]};
        if (detected == 2) detect.push_back("reboot");
        detect.push_back("disconnect");
        lines script = {"ver", "connect COM6", "loadfw --autodetect /tools/fw " + std::to_string(detected),
                        "setbaudrate 1000000", "pageerase 0x802000 0x1000", "disconnect"};
        lines all = detect;
        all.insert(all.end(), script.begin(), script.end());
        EXPECT_EQ(recorded, all);
        EXPECT_EQ(c.out, std::string(detected == 2 ? "Prepare to reboot...\n" : "") + HEAD + numbered(script));
        EXPECT_EQ(last_mode_, detected);
    }
}

TEST_F(Batch, AFailedDetectionLineEndsTheRun) {
    answer = fail("read_efuse", -1);
    captured c = run({"-c", "COM6", "-e", "-A", "0x802000", "-S", "4096"});
    EXPECT_EQ(c.result, -1);
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(c.err, "Executing " + recorded[1] + " fails\n");
    EXPECT_EQ(c.out, "");
}

TEST_F(Batch, MultiImageScriptsFromAJobFile) {
    write_file(path("img/app.bin"), pattern(5000, 1));
    write_file(path("img/big.bin"), pattern(8192, 2));
    write_file(path("img/oem.bin"), config_image(300));
    const std::string files =
        "{\"id\": [1], \"name\": \"app.bin\", \"address\": \"0x803000\"},"
        "{\"name\": \"skip.bin\", \"address\": \"0x900000\", \"enable\": false},"
        "{\"name\": \"oem.bin\", \"address\": \"0x801000\", \"enable\": 1},"
        "{\"name\": \"big.bin\", \"address\": \"806000\", \"enable\": 0.0},"
        "{\"name\": \"big.bin\", \"address\": \"808000\", \"enable\": true}";
    const std::string j = job(files);
    const std::string img = path("img/");
    struct row {
        const char* name;
        lines extra;
        lines body;
    };
    const row rows[] = {
        {"merge", {},
         {"pageerase 0x803000 0x2000", "program " + img + "app.bin 0x803000", "flashverify " + img + "app.bin 0x803000",
          "configmerge " + img + "oem.bin 0x801000", "pageerase 808000 0x2000", "program " + img + "big.bin 808000",
          "flashverify " + img + "big.bin 808000"}},
        {"no merge, device address", {"-d", "-x", "00:11:22:33:44:55"},
         {"pageerase 0x803000 0x2000", "program " + img + "app.bin 0x803000", "flashverify " + img + "app.bin 0x803000",
          "pageerase 0x801000 0x2000", "configmerge " + img + "oem.bin 0x801000 00:11:22:33:44:55",
          "pageerase 808000 0x2000", "program " + img + "big.bin 808000", "flashverify " + img + "big.bin 808000"}},
        {"chip erase", {"-E", "-d"},
         {"chiperase", "program " + img + "app.bin 0x803000", "flashverify " + img + "app.bin 0x803000",
          "configmerge " + img + "oem.bin 0x801000", "program " + img + "big.bin 808000",
          "flashverify " + img + "big.bin 808000"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        recorded.clear();
        image_count = 0;
        lines words = {"-f", j, "-a", "-M", "1"};
        words.insert(words.end(), r.extra.begin(), r.extra.end());
        captured c = run(words);
        lines script = {"ver", "connect /dev/jobport", "loadfw --autodetect /tools/fw 1", "setbaudrate 921600"};
        script.insert(script.end(), r.body.begin(), r.body.end());
        script.push_back("disconnect");
        EXPECT_EQ(c.result, 0) << c.err;
        EXPECT_EQ(recorded, script);
    }
}

TEST_F(Batch, AMissingImageOfAJobFileStopsBeforeAnyLine) {
    const std::string j = job("{\"name\": \"gone.bin\", \"address\": \"0x803000\"}");
    for (const lines& mode : {lines{"-M", "1"}, lines{}}) {
        recorded.clear();
        image_count = 0;
        lines words = {"-f", j, "-a"};
        words.insert(words.end(), mode.begin(), mode.end());
        captured c = run(words);
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(c.err, "open " + path("img/gone.bin") + " fails\n");
        EXPECT_TRUE(recorded.empty()) << "no line runs, detection included";
    }
}

// ---------------------------------------------------------------- retries

TEST_F(Batch, RetriesAndTheResultOfTheRun) {
    const lines words = {"-c", "COM6", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096", "-F", "app.bin", "-M", "1"};
    const lines prefix = {"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
                          "pageerase 0x802000 0x1000", "program app.bin 0x802000", "flashverify app.bin 0x802000"};
    const lines again = {"pageerase 0x802000 0x1000", "program app.bin 0x802000", "flashverify app.bin 0x802000"};
    auto concat = [](std::initializer_list<lines> parts) {
        lines all;
        for (const lines& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct row {
        const char* name;
        std::function<int32_t(const std::string&, int)> answer;
        int64_t result;
        lines script;
        std::string out_tail;  // behind the numbered lines of the prefix
        std::string err;
    };
    std::string overflow;
    for (int cnt = 1; cnt <= 5; ++cnt) overflow += "Retrying, cnt = " + std::to_string(cnt) + "\n";
    overflow += "Retry Counter OVERFLOW\nCMD[7] disconnect\n";
    const row rows[] = {
        {"verify fails once", fail("flashverify", 1, 1), 0, concat({prefix, again, {"disconnect"}}),
         "Retrying, cnt = 1\nRetry success at cnt = 1\nCMD[7] disconnect\n", ""},
        {"verify never passes", fail("flashverify", 1), 1,
         concat({prefix, again, again, again, again, again, {"disconnect"}}), overflow, ""},
        {"erase fails during a retry", [](const std::string& l, int n) {
             if (l.rfind("flashverify", 0) == 0) return 1;
             return l.rfind("pageerase", 0) == 0 && n == 1 ? 5 : 0;
         },
         5, concat({prefix, {"pageerase 0x802000 0x1000"}}), "Retrying, cnt = 1\n",
         "Executing pageerase 0x802000 0x1000 fails\n"},
        {"program fails", fail("program", 3), 3,
         lines(prefix.begin(), prefix.end() - 1), "", "Executing program app.bin 0x802000 fails\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        recorded.clear();
        answer = r.answer;
        captured c = run(words);
        EXPECT_EQ(c.result, r.result);
        EXPECT_EQ(recorded, r.script);
        const lines shown = r.script.size() >= prefix.size() ? prefix : lines(prefix.begin(), prefix.end() - 1);
        EXPECT_EQ(c.out, HEAD + numbered(shown) + r.out_tail);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST_F(Batch, AMergeIsRetriedAloneAndAnUncuredOneFailsTheRun) {
    write_file(path("img/oem.bin"), config_image(300));
    const std::string j = job("{\"name\": \"oem.bin\", \"address\": \"0x801000\"}");
    const std::string merge = "configmerge " + path("img/oem.bin") + " 0x801000";
    const lines head = {"ver", "connect /dev/jobport", "loadfw --autodetect /tools/fw 1", "setbaudrate 921600", merge};
    struct row {
        int times;
        int64_t result;
        int runs;
        std::string tail;
    };
    std::string never;
    for (int cnt = 1; cnt <= 5; ++cnt) never += "Retrying, cnt = " + std::to_string(cnt) + "\n";
    never += "Retry Counter OVERFLOW\n";
    for (const row& r : {row{2, 0, 3, "Retrying, cnt = 1\nRetrying, cnt = 2\nRetry success at cnt = 2\n"},
                         row{0, 4, 6, never}}) {
        SCOPED_TRACE(r.times);
        recorded.clear();
        image_count = 0;
        answer = fail("configmerge", 4, r.times);
        captured c = run({"-f", j, "-a", "-M", "1"});
        lines script(head.begin(), head.end() - 1);
        for (int i = 0; i < r.runs; ++i) script.push_back(merge);
        script.push_back("disconnect");
        EXPECT_EQ(recorded, script);
        EXPECT_EQ(c.result, r.result);
        EXPECT_EQ(c.out, HEAD + numbered(head) + r.tail + "CMD[5] disconnect\n");
    }
}

// ---------------------------------------------------------------- refusals

TEST_F(Batch, LinesThatCannotBeBuiltRefuseTheRunBeforeAnyLine) {
    const std::string long_name(250, 'a');
    struct row {
        const char* name;
        lines words;
        std::string program;
        std::string err_start;
    };
    const row rows[] = {
        {"long image file", {"-c", "COM6", "-p", "-F", long_name, "-A", "0x802000"}, "/tools/flint",
         "the script line \"program aaaa"},
        {"blank in the image file", {"-c", "COM6", "-p", "-F", "my app.bin", "-A", "0x802000", "-M", "1"},
         "/tools/flint", "the image file \"my app.bin\" contains a blank"},
        {"blank in the program's folder", {"-c", "COM6", "-e", "-A", "0", "-S", "1", "-M", "1"},
         "/Program Files/flint", "the program folder \"/Program Files\" holds a blank"},
        {"long program folder", {"-c", "COM6", "-e", "-A", "0", "-S", "1", "-M", "1"},
         "/" + std::string(250, 'd') + "/flint", "the script line \"loadfw --autodetect /ddd"},
        {"blank in the debug password", {"-c", "COM6", "-D", "00 11"}, "/tools/flint",
         "the debug password \"00 11\" contains a blank"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        recorded.clear();
        captured c = run(r.words, r.program);
        EXPECT_EQ(c.result, -1);
        EXPECT_TRUE(recorded.empty());
        EXPECT_EQ(c.err.rfind(r.err_start, 0), 0u) << c.err;
        EXPECT_EQ(c.out, "");
    }
}

TEST_F(Batch, OptionChecksInTheirOrder) {
    const std::string connect = "please configure connect information by -f or -c!\n";
    const std::string action = "please configure action by -e, -p, -v, -s, -a, -E, -P, -x or -r!\n";
    struct row {
        lines words;
        std::string err;
    };
    const row rows[] = {
        {{}, connect},
        {{"-e", "-A", "0", "-S", "1"}, connect},
        {{"-c", "COM6"}, action},
        {{"-c", "COM6", "-m", "11:22", "-A", "0x802000"}, action},
        {{"-c", "COM6", "-s", "-p", "-A", "0", "-S", "1", "-F", "f"},
         "it doesn't support to use -s with -p and -v enabled to avoid overwritting the original binary!\n"},
        {{"-c", "COM6", "-s", "-A", "0", "-F", "f"},
         "please configure image address, size and file name by -A, -S and -F!\n"},
        {{"-c", "COM6", "-e", "-A", "0"}, "please configure erase address and size by -A and -S!\n"},
        {{"-c", "COM6", "-v", "-A", "0"}, "please configure program/verify file and address by -F and -A!\n"},
        {{"-c", "COM6", "-m", "11", "-r"}, "please configure erase address by -A!\n"},
        {{"-c", "COM6", "-a"}, "please configure json file by -f!\n"},
        {{"-c", std::string(128, 'p'), "-r"},
         "the port " + std::string(128, 'p') + " is longer than 127 characters, refused\n"},
        {{"-c", "COM6", "-r", "-b", std::string(20, '9')},
         "the baud rate " + std::string(20, '9') + " is longer than 19 characters, refused\n"},
        {{"-c", "COM6", "-Z", "-c"},
         "/tools/flint: invalid option -- Z\n/tools/flint: option requires an argument -- c\n" + action},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.words));
        recorded.clear();
        captured c = run(r.words);
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.out, "");
        EXPECT_TRUE(recorded.empty());
    }
    // -m is no action, but with -r the run is valid; -u alone is an action.
    for (const lines& ok : {lines{"-c", "COM6", "-m", "11:22", "-A", "0x802000", "-r", "-M", "1"},
                            lines{"-c", "COM6", "-u", "ef.json", "-M", "1"}}) {
        captured c = run(ok);
        EXPECT_EQ(c.result, 0) << c.err;
    }
}

TEST_F(Batch, HelpBehindOtherOptionsEndsTheRunAtOnce) {
    captured c = run({"-c", "COM6", "-e", "-h", "-P", path("nosuch.bin")});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out.rfind("flint - A tool used for flash programming\n", 0), 0u);
    EXPECT_EQ(c.err, "");
    EXPECT_TRUE(recorded.empty());
}

TEST_F(Batch, PortAndBaudAreSettledFromOptionsAndJobFile) {
    const std::string j = job("", "/dev/jobport", "921600");
    struct row {
        lines words;
        std::string connect;
        std::string baud;
    };
    const row rows[] = {
        {{"-c", "COM6"}, "connect COM6", "setbaudrate 1000000"},
        {{"-c", "COM6", "-b", "115200"}, "connect COM6", "setbaudrate 115200"},
        {{"-f", j}, "connect /dev/jobport", "setbaudrate 921600"},
        {{"-c", "COM6", "-f", j}, "connect COM6", "setbaudrate 921600"},
        {{"-f", j, "-b", "9600"}, "connect /dev/jobport", "setbaudrate 9600"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.words));
        recorded.clear();
        image_count = 0;
        lines words = r.words;
        words.insert(words.end(), {"-r", "-M", "1"});
        captured c = run(words);
        EXPECT_EQ(c.result, 0) << c.err;
        ASSERT_EQ(recorded.size(), 6u);
        EXPECT_EQ(recorded[1], r.connect);
        EXPECT_EQ(recorded[3], r.baud);
    }
}

TEST_F(Batch, DebugPasswordRuns) {
    const std::string j = job("", "/dev/jobport");
    const std::string pw = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
    struct row {
        lines words;
        std::function<int32_t(const std::string&, int)> answer;
        int64_t result;
        lines script;
        std::string err;
    };
    const row rows[] = {
        {{"-c", "COM6", "-D", pw}, nullptr, 0, {"ver", "connect COM6", "dbgpasswd " + pw}, ""},
        // With a job file but no -c, the job file's port is used.
        {{"-f", j, "-D", pw}, nullptr, 0, {"ver", "connect /dev/jobport", "dbgpasswd " + pw}, ""},
        {{"-c", "COM6", "-D", pw, "-e"}, fail("dbgpasswd", 2), 2, {"ver", "connect COM6", "dbgpasswd " + pw},
         "Executing dbgpasswd " + pw + " fails\nsend debug password failed!\n"},
        {{"-c", "COM6", "-D", pw}, fail("connect", 1), 1, {"ver", "connect COM6"},
         "Executing connect COM6 fails\nsend debug password failed!\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.words));
        recorded.clear();
        image_count = 0;
        answer = r.answer;
        captured c = run(r.words);
        EXPECT_EQ(c.result, r.result);
        EXPECT_EQ(recorded, r.script);
        EXPECT_EQ(c.out, numbered(r.script));
        EXPECT_EQ(c.err, r.err);
    }
}

// ---------------------------------------------------------------- job file

TEST_F(Batch, JobFileMembersAndFolders) {
    fs::create_directories(path("cfg"));
    write_file(path("cfg/job.json"),
               "{\"QuarryConfig\": {\"PORT\": \"COM7\", \"Baud\": \"921600\", \"port\": \"ignored\","
               " \"AppImage\": {\"RelativePath\": \"img\", \"FILE\": ["
               "{\"id\": \"x\", \"Name\": \"a.bin\", \"ADDRESS\": \"0x802000\"},"
               "{\"id\": null, \"name\": \"b.bin\", \"address\": \"803000\", \"enable\": 0},"
               "{\"name\": \"c.bin\", \"address\": \"804000\", \"enable\": false},"
               "{\"name\": \"d.bin\", \"address\": \"805000\", \"enable\": 2.7},"
               "{\"name\": \"e.bin\", \"address\": \"806000\", \"enable\": \"1\"}]}}}");
    tool_config* config = tool_config_create();
    ASSERT_TRUE(config_load(path("cfg/job.json").c_str(), config));
    EXPECT_STREQ(config->port, "COM7");
    EXPECT_STREQ(config->baud, "921600");
    EXPECT_EQ(std::string(config->folder), path("cfg/img"));
    const char* names[] = {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin", "null"};
    const int32_t enables[] = {1, 0, 0, 2, 0, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(config->entries[i].name, names[i]) << i;
        EXPECT_EQ(config->entries[i].enable, enables[i]) << i;
    }
    EXPECT_STREQ(config->entries[0].address, "0x802000");

    // Without a folder in its path the relative path counts from the working directory.
    const fs::path cwd = fs::current_path();
    fs::current_path(path("cfg"));
    EXPECT_TRUE(config_load("job.json", config));
    fs::current_path(cwd);
    EXPECT_STREQ(config->folder, "img");

    batch_options* options = batch_options_create("flint");
    image_count = 0;
    config_apply(options, config);
    EXPECT_EQ(image_count, 15);
    EXPECT_STREQ(options->images[0].file, "a.bin");
    EXPECT_STREQ(options->images[5].file, "null");
    EXPECT_STREQ(options->port, "COM7");
    // A second file fills slots 15 to 29, a third none.
    config_apply(options, config);
    EXPECT_EQ(image_count, 30);
    EXPECT_STREQ(options->images[15].file, "a.bin");
    config_apply(options, config);
    EXPECT_EQ(image_count, 30);
    batch_options_release(options);
    tool_config_release(config);
}

TEST_F(Batch, ASecondJobFileDoesNotCarryEntriesOfTheFirst) {
    const std::string first = job("{\"name\": \"a.bin\", \"address\": \"1\"}, {\"name\": \"b.bin\", \"address\": \"2\"}");
    tool_config* config = tool_config_create();
    ASSERT_TRUE(config_load(first.c_str(), config));
    write_file(path("two.json"), "{\"quarryconfig\": {\"port\": \"P\", \"baud\": \"1\", \"appimage\": "
                                 "{\"relativepath\": \"x\", \"file\": [{\"name\": \"c.bin\", \"address\": \"3\"}]}}}");
    ASSERT_TRUE(config_load(path("two.json").c_str(), config));
    EXPECT_STREQ(config->entries[0].name, "c.bin");
    EXPECT_STREQ(config->entries[1].name, "null");
    tool_config_release(config);
}

TEST_F(Batch, JobFilesThatAreRefused) {
    auto doc = [](const std::string& top, const std::string& files) {
        return "{\"quarryconfig\": {" + top + "\"appimage\": {\"relativepath\": \"img\", \"file\": [" + files +
               "]}}}";
    };
    const std::string pb = "\"port\": \"COM6\", \"baud\": \"9600\", ";
    std::string sixteen;
    for (int i = 0; i < 16; ++i) sixteen += std::string(i ? "," : "") + "{\"name\": \"a\", \"address\": \"1\"}";
    const std::string p = path("job.json");
    struct row {
        const char* name;
        std::string text;
        std::string err;
    };
    const row rows[] = {
        {"no JSON", "{\"quarryconfig\": ", p + ": no valid JSON, the text goes wrong at line 1, column 18\n"},
        {"a comma too many", "{\"quarryconfig\": {\n  \"port\": \"COM6\",\n  }\n}",
         p + ": no valid JSON, the text goes wrong at line 3, column 4\n"},
        {"empty", "", p + ": no valid JSON, the text goes wrong at line 1, column 1\n"},
        {"no quarryconfig", "{\"other\": {}}", p + ": \"quarryconfig\" is missing\n"},
        {"no baud", doc("\"port\": \"COM6\", ", "{\"name\": \"a\", \"address\": \"1\"}"),
         p + ": \"quarryconfig.baud\" is missing\n"},
        {"baud no string", doc("\"port\": \"COM6\", \"baud\": 9600, ", ""), p + ": \"quarryconfig.baud\" is no string\n"},
        {"third entry without name",
         doc(pb, "{\"name\": \"a\", \"address\": \"1\"},{\"name\": \"b\", \"address\": \"2\"},{\"address\": \"3\"}"),
         p + ": \"quarryconfig.appimage.file[2].name\" is missing\n"},
        {"address no string", doc(pb, "{\"name\": \"a\", \"address\": 8396800}"),
         p + ": \"quarryconfig.appimage.file[0].address\" is no string\n"},
        {"no relative path", "{\"quarryconfig\": {" + pb + "\"appimage\": {\"file\": []}}}",
         p + ": \"quarryconfig.appimage.relativepath\" is missing\n"},
        {"no file", "{\"quarryconfig\": {" + pb + "\"appimage\": {\"relativepath\": \"img\"}}}",
         p + ": \"quarryconfig.appimage.file\" is missing\n"},
        {"16 images", doc(pb, sixteen), p + ": \"file\" names 16 images, at most 15 are accepted\n"},
        {"long port", doc("\"port\": \"" + std::string(128, 'p') + "\", \"baud\": \"1\", ", ""),
         p + ": \"" + std::string(128, 'p') + "\" of 128 characters is too long, at most 127 are accepted\n"},
        {"long baud", doc("\"port\": \"P\", \"baud\": \"" + std::string(20, '1') + "\", ", ""),
         p + ": \"" + std::string(20, '1') + "\" of 20 characters is too long, at most 19 are accepted\n"},
        {"long name", doc(pb, "{\"name\": \"" + std::string(1024, 'n') + "\", \"address\": \"1\"}"),
         p + ": \"" + std::string(1024, 'n') + "\" of 1024 characters is too long, at most 1023 are accepted\n"},
        {"long address", doc(pb, "{\"name\": \"a\", \"address\": \"" + std::string(100, '1') + "\"}"),
         p + ": \"" + std::string(100, '1') + "\" of 100 characters is too long, at most 99 are accepted\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        write_file(p, r.text);
        recorded.clear();
        captured c = run({"-f", p, "-a", "-M", "1"});
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(c.err, r.err);
        EXPECT_TRUE(recorded.empty());
    }
    captured missing = run({"-f", path("nosuch.json"), "-r"});
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err, "open " + path("nosuch.json") + " fails!\n");

    // A job file whose folder is longer than 511 characters.
    const std::string deep = path(std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(200, 'f'));
    fs::create_directories(deep);
    write_file(deep + "/job.json", doc(pb, ""));
    tool_config* config = tool_config_create();
    captured c = run_captured([&] { return int64_t{config_load((deep + "/job.json").c_str(), config)}; });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.err, deep + "/job.json: the folder of the job file is longer than 511 characters, refused\n");
    tool_config_release(config);
}

// ---------------------------------------------------------------- packed image

class Packed : public Batch {
protected:
    captured parse(const std::string& bytes) {
        write_file(path("packed.bin"), bytes);
        table_.assign(IMAGE_SLOTS, image_slot{});
        image_table_init(table_.data());
        table_[1].enable = 0;
        packed_output_init(&out_);
        return run_captured([&] { return int64_t{packed_img_parser(path("packed.bin").c_str(), table_.data(), &out_)}; });
    }

    std::string folder() const { return dir_ + "/tmp/KVX_FLINT_" + std::to_string(getpid()); }

    std::vector<image_slot> table_;
    packed_output out_{};
};

TEST_F(Packed, SubImagesBecomeFilesOfTheirPayloads) {
    const std::string a = pattern(0xE00, 3), b = pattern(100, 4), c3 = pattern(0, 5);
    captured c = parse(packed_file(0x15, {{0x801000, a}, {0x80A000, b}, {0x90000, c3}}));
    ASSERT_EQ(c.result, 0) << c.err;
    const std::string f = folder();
    EXPECT_EQ(c.out, "Temp dir: " + f + "\nTemp file: " + f + "/0x801000.bin\nTemp file: " + f +
                         "/0x80a000.bin\nTemp file: " + f + "/0x90000.bin\n");
    EXPECT_EQ(out_.count, 3);
    EXPECT_EQ(std::string(out_.folder), f);
    EXPECT_EQ(read_file(f + "/0x801000.bin"), a);
    EXPECT_EQ(read_file(f + "/0x80a000.bin"), b);
    EXPECT_EQ(read_file(f + "/0x90000.bin"), "");
    EXPECT_STREQ(table_[0].address, "0x801000");
    EXPECT_STREQ(table_[1].file, "0x80a000.bin");
    EXPECT_STREQ(table_[2].folder, f.c_str());
    EXPECT_EQ(table_[1].enable, 1) << "every sub-image is programmed, also into a slot a job file disabled";
    for (int i = 3; i < IMAGE_SLOTS; ++i) {
        EXPECT_STREQ(table_[i].file, "null");
        EXPECT_STREQ(out_.names[i], "null");
    }
}

TEST_F(Packed, RefusedFiles) {
    std::string many = "GM" + std::string(38, '\0') + le32(0xFFFFFFFF);
    std::string short_len = packed_file(1, {{0x801000, pattern(16, 1)}});
    short_len.replace(48, 4, le32(511));
    std::string past_end = packed_file(3, {{0x801000, pattern(16, 1)}, {0x802000, pattern(16, 2)}});
    past_end.resize(past_end.size() - 1);
    struct row {
        const char* name;
        std::string bytes;
        int64_t result;
        std::string err;
    };
    const row rows[] = {
        {"43 bytes", std::string("GM") + std::string(41, '\0'), -2, "packed_img_parser: packed length < 44 bytes\n"},
        {"no sub-image", std::string("GM") + std::string(42, '\0'), -4, "packed_img_parser: packed subIndicator == 0\n"},
        {"signature", packed_file(1, {{0, "x"}}).replace(0, 2, "MG"), -3,
         "packed_img_parser: packed image header signature != 0x4D47\n"},
        {"32 sub-images", many, -8, "packed_img_parser: the packed image holds 32 sub-images, at most 30 are supported\n"},
        {"table past the end", "GM" + std::string(38, '\0') + le32(3) + std::string(12, '\0'), -9,
         "packed_img_parser: the sub-image table of 2 entries runs past the end of the file (56 bytes)\n"},
        {"length below the header", short_len, -9,
         "packed_img_parser: sub-image 0 at 0x801000 has length 511, which is below its 512-byte header or runs "
         "past the end of the file (584 bytes)\n"},
        {"length past the end", past_end, -9,
         "packed_img_parser: sub-image 1 at 0x802000 has length 528, which is below its 512-byte header or runs "
         "past the end of the file (1123 bytes)\n"},
        // Named after their address, the second would replace the first's file:
        // the run would pass a module that holds only one of the two.
        {"two at one address", packed_file(3, {{0x802000, pattern(16, 1)}, {0x802000, pattern(16, 2)}}), -9,
         "packed_img_parser: sub-images 0 and 1 both go to 0x802000; one would overwrite the other's temp file, "
         "refused\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        captured c = parse(r.bytes);
        EXPECT_EQ(c.result, r.result);
        EXPECT_EQ(c.err, r.err);
        EXPECT_TRUE(fs::is_empty(folder())) << "nothing is written before every entry was checked";
    }
    table_.assign(IMAGE_SLOTS, image_slot{});
    captured missing = run_captured(
        [&] { return int64_t{packed_img_parser(path("nosuch.bin").c_str(), table_.data(), &out_)}; });
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err, "packed_img_parser: open " + path("nosuch.bin") + " fails!\n");
}

TEST_F(Packed, ATempFolderThatDoesNotFitIsRefused) {
    const std::string deep = dir_ + "/tmp/" + std::string(250, 't');
    setenv("TMPDIR", deep.c_str(), 1);
    captured c = parse(packed_file(1, {{0x801000, "abcd"}}));
    EXPECT_EQ(c.result, -7);
    EXPECT_EQ(c.err, "packed_img_parser: the temp folder " + deep + "/ is longer than 255 characters, refused\n");
    EXPECT_EQ(out_.folder[0], '\0');
}

TEST_F(Packed, TheFolderIsRemovedAtTheEndOfEveryRunWithP) {
    write_file(path("good.bin"), packed_file(1, {{0x801000, pattern(64, 1)}}));
    write_file(path("bad.bin"), "GM" + std::string(42, '\0'));
    const std::string j = job("");
    struct row {
        lines words;
        int64_t result;
        std::string err;
    };
    const row rows[] = {
        {{"-c", "COM6", "-P", path("good.bin"), "-M", "1"}, 0, ""},
        {{"-c", "COM6", "-P", path("bad.bin"), "-M", "1"}, -1,
         "packed_img_parser: packed subIndicator == 0\nparse packed image error!\n"},
        {{"-f", j, "-a", "-P", path("good.bin")}, -1, "cannot configure -P and -a together\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.words));
        recorded.clear();
        image_count = 0;
        captured c = run(r.words);
        EXPECT_EQ(c.result, r.result);
        EXPECT_EQ(c.err, r.err);
        EXPECT_FALSE(fs::exists(folder()));
    }
    recorded.clear();
    captured c = run({"-c", "COM6", "-P", path("good.bin"), "-M", "1"});
    const std::string file = folder() + "/0x801000.bin";
    EXPECT_EQ(recorded, (lines{"ver", "connect COM6", "loadfw --autodetect /tools/fw 1", "setbaudrate 1000000",
                               "pageerase 0x801000 0x1000", "program " + file + " 0x801000",
                               "flashverify " + file + " 0x801000", "disconnect"}));
}

}  // namespace
