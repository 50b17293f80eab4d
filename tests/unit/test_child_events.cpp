// The gang's reader of a child's live events: whole lines only, in the order
// they were appended, across reads that end in the middle of a line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gang/child_events.h"
#include "platform/platform.h"

namespace {

std::string events_path(const char* name) {
    const char* base = std::getenv("FLINT_TEST_TMP");
    const std::string dir = base != nullptr ? base : "/tmp";
    plat_make_dir(dir.c_str());
    const std::string path = dir + "/" + name;
    std::remove(path.c_str());
    return path;
}

void append(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

TEST(ChildEvents, ALineStillBeingWrittenWaitsForItsEnd) {
    const std::string path = events_path("events_partial.jsonl");
    child_events events(path);
    EXPECT_TRUE(events.read_new().empty()) << "no file yet";
    append(path, "{\"event\": \"run_start\", \"t\": \"2026-12-10T15:58:49.123Z\", \"pid\": 1, \"port\": \"/dev/pts/3\"}\n"
                 "{\"event\": \"line_start\", \"t\": \"x\", \"phase\": \"script\", \"li");
    auto lines = events.read_new();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(events.state().started);
    EXPECT_EQ(events.state().line, -1);
    append(path, "ne\": 5, \"text\": \"program app.bin 0x802000\"}\r\n");
    lines = events.read_new();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "{\"event\": \"line_start\", \"t\": \"x\", \"phase\": \"script\", \"line\": 5, "
                        "\"text\": \"program app.bin 0x802000\"}");
    EXPECT_EQ(events.state().line, 5);
    EXPECT_EQ(events.status_text(), "program");
    EXPECT_TRUE(events.read_new().empty()) << "nothing new";
}

TEST(ChildEvents, ProgressGivesStepAndPercentUntilTheNextLine) {
    const std::string path = events_path("events_progress.jsonl");
    child_events events(path);
    append(path,
           "{\"event\": \"line_start\", \"t\": \"x\", \"phase\": \"script\", \"line\": 5, \"text\": \"program a.bin 0x802000\"}\n"
           "not json at all\n"
           "{\"event\": \"progress\", \"t\": \"x\", \"line\": 5, \"step\": \"program\", \"address\": \"0x802000\", "
           "\"done\": 16384, \"total\": 65536}\n");
    EXPECT_EQ(events.read_new().size(), 3u);
    EXPECT_EQ(events.percent(), 25);
    EXPECT_EQ(events.status_text(), "program 0x802000 25%");
    append(path, "{\"event\": \"line_end\", \"t\": \"x\", \"phase\": \"script\", \"line\": 5, \"result\": 0, \"ms\": 9}\n"
                 "{\"event\": \"line_start\", \"t\": \"x\", \"phase\": \"script\", \"line\": 6, \"text\": \"flashverify a.bin 0x802000\"}\n"
                 "{\"event\": \"retry\", \"t\": \"x\", \"line\": 6, \"attempt\": 2}\n");
    events.read_new();
    EXPECT_EQ(events.percent(), -1);
    EXPECT_EQ(events.state().attempt, 2);
    EXPECT_EQ(events.status_text(), "flashverify");
    append(path, "{\"event\": \"run_end\", \"t\": \"x\", \"exit_code\": 3, \"verdict\": \"fail\", \"class\": \"verify\"}\n");
    events.read_new();
    EXPECT_TRUE(events.state().ended);
    EXPECT_EQ(events.state().exit_code, 3);
    EXPECT_EQ(events.state().verdict, "fail");
    EXPECT_EQ(events.state().failure_class, "verify");
}

TEST(ChildEvents, TheRecordIsTheLastWholeLine) {
    const std::string path = events_path("record.jsonl");
    EXPECT_EQ(child_record_line(path), "");
    append(path, "{\"schema\": 1}");
    EXPECT_EQ(child_record_line(path), "") << "a line without its end is not whole";
    append(path, "\n");
    EXPECT_EQ(child_record_line(path), "{\"schema\": 1}");
    append(path, "{\"schema\": 2}\n");
    EXPECT_EQ(child_record_line(path), "{\"schema\": 2}");
}

}  // namespace
