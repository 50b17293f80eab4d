// The station's own pieces: its options, the board a run writes and the page
// reads (slot states from events and records, counters, the event stream).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gang/board.h"
#include "gang/console_table.h"
#include "gang/loop_options.h"

namespace {

TEST(LoopOptions, AddressesOfTheStatusPage) {
    struct row {
        const char* text;
        const char* host;
        int port;
        bool refused;
    };
    const row rows[] = {
        {"8080", "127.0.0.1", 8080, false},       {"0", "127.0.0.1", 0, false},
        {"0.0.0.0:80", "0.0.0.0", 80, false},     {"[::1]:9000", "::1", 9000, false},
        {"station-3:8080", "station-3", 8080, false}, {"65536", "", 0, true},
        {"80x", "", 0, true},                     {":80", "", 0, true},
        {"[::1]9000", "", 0, true},               {"", "", 0, true},
        {"127.0.0.1:", "", 0, true},              {"123456", "", 0, true},
    };
    for (const row& r : rows) {
        web_settings w;
        const std::string refused = web_read_address(r.text, &w);
        EXPECT_EQ(!refused.empty(), r.refused) << r.text;
        if (r.refused) continue;
        EXPECT_EQ(w.host, r.host) << r.text;
        EXPECT_EQ(w.port, r.port) << r.text;
    }
}

TEST(LoopOptions, LoopbackNeedsNoTokenAnythingElseDoes) {
    for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) EXPECT_TRUE(web_is_loopback(host)) << host;
    for (const char* host : {"0.0.0.0", "192.168.1.5", "::", "station-3", "128.0.0.1"})
        EXPECT_FALSE(web_is_loopback(host)) << host;
}

TEST(LoopOptions, TakenOutOfTheCommandLineTheRestStays) {
    std::vector<std::string> words = {"-c", "COM6,COM7", "--loop", "--labels=A1,A2", "-e", "--http",
                                      "0.0.0.0:8080", "--http-token", "t0k3n", "-r"};
    loop_options o;
    ASSERT_EQ(loop_take_options(&words, &o), "");
    EXPECT_EQ(words, (std::vector<std::string>{"-c", "COM6,COM7", "-e", "-r"}));
    EXPECT_TRUE(o.loop);
    EXPECT_TRUE(o.http);
    EXPECT_EQ(o.labels, (std::vector<std::string>{"A1", "A2"}));
    EXPECT_EQ(o.web.host, "0.0.0.0");
    EXPECT_EQ(o.web.token, "t0k3n");
    EXPECT_EQ(loop_check_options(o, 2), "");
    EXPECT_NE(loop_check_options(o, 3), "");
    o.web.token.clear();
    EXPECT_EQ(loop_check_options(o, 2),
              "flint-gang: --http 0.0.0.0 serves the page beyond this machine: give --http-token TOKEN too\n");
}

TEST(LoopOptions, RefusedValues) {
    const std::vector<std::vector<std::string>> cases = {
        {"--labels"}, {"--labels", ""}, {"--labels", "A,,B"}, {"--labels", "A,A"},
        {"--labels", std::string(33, 'L')}, {"--http"}, {"--http="}, {"--http-token", "a b"},
        {"--http-token", std::string(201, 't')}, {"--http-token", "t\x7f"},
    };
    for (std::vector<std::string> words : cases) {
        loop_options o;
        EXPECT_NE(loop_take_options(&words, &o), "") << words[0] << " " << (words.size() > 1 ? words[1] : "");
    }
}

class Board : public ::testing::Test {
protected:
    void SetUp() override {
        board.set_slots({"/dev/pts/3", "/dev/pts/4"}, {"A1", "A2"}, true);
        board.cycle_started();
        board.slot_started(0, "00:11:22:33:44:01");
        board.slot_started(1, "00:11:22:33:44:02");
    }
    station_board board;
};

TEST_F(Board, EventsMoveASlotAndRecordsNameItsFailure) {
    board.slot_event(0, R"({"event":"line_start","t":"x","phase":"script","line":5,"text":"program app.bin 0x802000"})");
    board.slot_event(0, R"({"event":"progress","t":"x","line":5,"step":"program","done":16384,"total":65536})");
    slot_state s = board.slots()[0];
    EXPECT_EQ(s.state, SLOT_RUNNING);
    EXPECT_EQ(s.line_text, "program app.bin 0x802000");
    EXPECT_EQ(console_detail(s), "program 25 %");

    board.slot_record(1, R"({"verdict":"fail","device_address":null,"failure":{"class":"module","line":5,)"
                         R"("text":"program app.bin 0x802000","message":"Executing program app.bin 0x802000 fails"}})");
    board.slot_ended(1, false, "1");
    board.slot_record(0, R"({"verdict":"pass","device_address":{"text":"00:11:22:33:44:09"},"failure":null})");
    board.slot_ended(0, true, "0");
    const std::vector<slot_state> slots = board.slots();
    EXPECT_EQ(slots[0].state, SLOT_PASSED);
    EXPECT_EQ(slots[0].address, "00:11:22:33:44:09");  // what the record says was written
    EXPECT_EQ(slots[1].state, SLOT_FAILED);
    EXPECT_EQ(slots[1].address, "00:11:22:33:44:02");
    EXPECT_EQ(console_detail(slots[1]), "line 5 program app.bin 0x802000: module");
    board.cycle_ended();
    const station_counters c = board.counters();
    EXPECT_EQ(c.cycles, 1u);
    EXPECT_EQ(c.modules, 2u);
    EXPECT_EQ(c.passed, 1u);
    EXPECT_DOUBLE_EQ(board_yield_percent(c), 50.0);
}

TEST_F(Board, ANextCycleStartsFromIdleSlots) {
    board.slot_record(1, R"({"failure":{"class":"link","line":null,"text":null,"message":"no answer"}})");
    board.slot_ended(1, false, "1");
    board.cycle_ended();
    board.cycle_started();
    const slot_state s = board.slots()[1];
    EXPECT_EQ(s.state, SLOT_IDLE);
    EXPECT_EQ(s.failure_class, "");
    EXPECT_EQ(s.address, "");
    EXPECT_NE(board.status_json().find("\"cycle\":2"), std::string::npos);
}

TEST_F(Board, BrokenEventLinesChangeNothing) {
    const uint64_t before = board.event_end();
    board.slot_event(0, R"({"event":"progress","step":"erase","do)");
    board.slot_event(0, "[1,2]");
    EXPECT_EQ(board.event_end(), before);
    EXPECT_EQ(board.slots()[0].step, "");
}

TEST_F(Board, EventStreamsCarryTheSlotAndResyncWhenBehind) {
    uint64_t next = board.event_end();
    board.slot_event(1, R"({"event":"retry","t":"x","line":6,"attempt":2,"slot":99})");
    std::vector<std::string> got = board.events_after(&next, 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("\"slot\":2"), std::string::npos);
    EXPECT_EQ(got[0].find("\"slot\":99"), std::string::npos);

    uint64_t old = 0;
    for (size_t i = 0; i < BOARD_EVENTS_KEPT + 10; ++i) board.slot_event(0, R"({"event":"retry"})");
    got = board.events_after(&old, 0);
    EXPECT_EQ(got.front(), "{\"event\":\"resync\"}");
    EXPECT_EQ(got.size(), BOARD_EVENTS_KEPT + 1);
    EXPECT_EQ(old, board.event_end());
    EXPECT_TRUE(board.events_after(&old, 0).empty());  // nothing new: the wait times out
}

TEST_F(Board, RecentRecordsNewestFirstAndBounded) {
    board.slot_ended(0, true, "0");
    board.slot_ended(1, false, "stopped");
    const std::string json = board.recent_json(1);
    EXPECT_EQ(json.find("\"slot\":1"), std::string::npos);
    EXPECT_NE(json.find("\"slot\":2"), std::string::npos);
    EXPECT_NE(json.find("\"verdict\":\"fail\""), std::string::npos);
    EXPECT_EQ(board.recent_json(0), "[]");
}

}  // namespace
