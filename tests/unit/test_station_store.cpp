// The station database against the real databases: an SQLite file, and a
// PostgreSQL server when FLINT_TEST_PG names one (tests/e2e/pg_cluster.py
// starts a private one for ctest). Also the record-to-run rules and the
// address and time texts the store relies on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gang/store/address.h"
#include "gang/store/run_record.h"
#include "gang/store/schema.h"
#include "gang/store/station_store.h"
#include "gang/store/utc_time.h"

namespace {

TEST(StationAddress, texts_as_minus_x_takes_them) {
    const struct {
        const char* text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"00:11:22:33:44:55", true, 0x001122334455ull}, {"a:b:c:d:e:f", true, 0x0A0B0C0D0E0Full},
        {"FF:ff:FF:ff:FF:ff", true, ADDRESS_MAX},        {"00:11:22:33:44", false, 0},
        {"00:11:22:33:44:55:66", false, 0},              {"00:11:22:33:44:555", false, 0},
        {"00:11:22:33:44:5g", false, 0},                 {"00-11-22-33-44-55", false, 0},
        {"", false, 0},                                  {"00:11:22:33:44:55 ", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(address_parse(c.text, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    EXPECT_EQ(address_text(0x001122AABBCCull), "00:11:22:AA:BB:CC");
}

TEST(StationTime, utc_texts_read_and_written) {
    int64_t ms = 0;
    ASSERT_TRUE(utc_parse("2026-12-10T15:58:49.123Z", &ms));
    EXPECT_EQ(utc_text(ms), "2026-12-10T15:58:49.123Z");
    ASSERT_TRUE(utc_parse("1970-01-01", &ms));
    EXPECT_EQ(ms, 0);
    ASSERT_TRUE(utc_parse("2024-02-29 23:59", &ms));
    EXPECT_EQ(utc_text(ms), "2024-02-29T23:59:00.000Z");
    for (const char* bad : {"2026-13-01", "2026-12-10T25:00", "2026-12-10T15", "yesterday", "2026-12-10T15:00:00+01"})
        EXPECT_FALSE(utc_parse(bad, &ms)) << bad;
}

// ---------------------------------------------------------------- records

const char* const PASS_RECORD =
    R"({"schema": 1, "start": "2026-12-10T15:58:49.123Z", "duration_ms": 2333, "port": "/dev/pts/3",)"
    R"( "images": [{"path": "app.bin", "payload_sha256": "aa"}, {"path": "b.bin", "payload_sha256": "bb"}],)"
    R"( "device_address": {"text": "00:11:22:33:44:55", "source": "option", "line": 7, "ran": RAN, "result": 0},)"
    R"( "exit_code": EXIT, "verdict": "VERDICT", "failure": FAILURE})";

std::string record(const std::string& ran, int exit_code, const std::string& failure = "null") {
    std::string r = PASS_RECORD;
    auto put = [&r](const std::string& mark, const std::string& value) { r.replace(r.find(mark), mark.size(), value); };
    put("RAN", ran);
    put("EXIT", std::to_string(exit_code));
    put("VERDICT", exit_code == 0 ? "pass" : "fail");
    put("FAILURE", failure);
    return r + "\n";
}

child_outcome ended_with(int code) {
    child_outcome c;
    c.port = "/dev/pts/3";
    c.slot = 2;
    c.start = "2026-12-10T15:58:49.000Z";
    c.duration_ms = 2400;
    c.started = true;
    c.exited = true;
    c.code = code;
    c.address = "00:11:22:33:44:55";
    return c;
}

TEST(StationRecord, the_address_line_decides_what_becomes_of_the_address) {
    const std::string link_failure = R"({"class": "link", "line": 5, "text": "program app.bin 0x802000"})";
    child_outcome killed = ended_with(0);
    killed.exited = false;
    killed.signal = 9;
    child_outcome not_started = ended_with(0);
    not_started.started = false;
    not_started.start_error = "no such file";
    const struct {
        const char* name;
        std::string text;
        child_outcome child;
        const char* verdict;
        const char* failure_class;
        address_fate fate;
        bool written;
    } cases[] = {
        {"passed", record("true", 0), ended_with(0), "pass", nullptr, address_fate::consumed, true},
        {"failed after the address line", record("true", 3, link_failure), ended_with(3), "fail", "link",
         address_fate::consumed, true},
        {"failed before the address line", record("false", 3, link_failure), ended_with(3), "fail", "link",
         address_fate::returned, false},
        {"the record passes, the process did not", record("true", 0), ended_with(1), "fail", "internal",
         address_fate::consumed, true},
        {"no record", "", ended_with(1), "fail", "internal", address_fate::quarantined, false},
        {"a record cut short", record("true", 0).substr(0, 80), killed, "fail", "internal",
         address_fate::quarantined, false},
        {"the last line cut short", record("false", 3, link_failure) + record("true", 0).substr(0, 50), ended_with(3),
         "fail", "link", address_fate::returned, false},
        {"never started", "", not_started, "fail", "internal", address_fate::returned, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const run_entry e = run_entry_of(c.text, c.child);
        EXPECT_EQ(e.verdict, c.verdict);
        EXPECT_EQ(e.failure_class.value_or(""), c.failure_class ? c.failure_class : "");
        EXPECT_EQ(e.fate, c.fate);
        EXPECT_EQ(e.address_written, c.written);
        EXPECT_EQ(e.device_address.value_or(""), "00:11:22:33:44:55");
        EXPECT_EQ(e.slot, 2);
        EXPECT_FALSE(e.record.empty());
        EXPECT_EQ(e.record.find('\n'), std::string::npos);
    }
    const run_entry whole = run_entry_of(record("true", 0), ended_with(0));
    EXPECT_EQ(whole.start, "2026-12-10T15:58:49.123Z");
    EXPECT_EQ(whole.duration_ms, 2333);
    EXPECT_EQ(whole.image_sha256.value_or(""), "aa,bb");
    EXPECT_EQ(whole.record + "\n", record("true", 0));
    const run_entry lost = run_entry_of("", killed);
    EXPECT_NE(lost.record.find(R"x("message":"flint left no whole run record (ended by signal 9)")x"), std::string::npos)
        << lost.record;
}

// ---------------------------------------------------------------- the store

std::string scratch(const std::string& name) {
    const char* base = std::getenv("FLINT_TEST_TMP");
    const std::filesystem::path dir = std::filesystem::path(base ? base : "/tmp") / "station_store";
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / name;
    std::filesystem::remove(file);
    std::filesystem::remove(file.string() + "-wal");
    std::filesystem::remove(file.string() + "-shm");
    return file.string();
}

// A fresh database of each kind: an SQLite file, or the PostgreSQL
// database of FLINT_TEST_PG emptied.
std::string fresh_url(const std::string& kind, const std::string& name) {
    if (kind == "sqlite") return "sqlite:" + scratch(name.substr(0, name.find('/')) + ".db");
    const char* pg = std::getenv("FLINT_TEST_PG");
    std::string error;
    std::unique_ptr<sql_db> db = pg_connect(pg, &error);
    EXPECT_NE(db, nullptr) << error;
    if (db) {
        EXPECT_TRUE(db->run("DROP TABLE IF EXISTS addresses, runs, pools, cycles, station_schema CASCADE", {}, nullptr))
            << db->error();
    }
    return pg;
}

class StationStore : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "postgresql" && std::getenv("FLINT_TEST_PG") == nullptr)
            GTEST_SKIP() << "FLINT_TEST_PG names no PostgreSQL server (ctest runs these under pg_cluster.py)";
        url_ = fresh_url(GetParam(), testing::UnitTest::GetInstance()->current_test_info()->name());
        store_ = open_store();
        ASSERT_NE(store_, nullptr);
    }

    std::unique_ptr<station_store> open_store() {
        std::string error;
        std::unique_ptr<station_store> s = station_store::open(url_, &error);
        EXPECT_EQ(error, "");
        return s;
    }

    std::vector<std::string> begin(station_store& s, size_t ports, int64_t* cycle, std::string* message = nullptr) {
        std::vector<std::string> addresses;
        const std::string m = s.begin_cycle("st-1", ports, "line", cycle, &addresses);
        if (message != nullptr)
            *message = m;
        else
            EXPECT_EQ(m, "");
        return addresses;
    }

    int64_t store(station_store& s, int64_t cycle, int slot, const std::string& address, address_fate fate,
                  bool pass = true) {
        run_entry run;
        run.cycle = cycle;
        run.station = "st-1";
        run.slot = slot;
        run.port = "COM" + std::to_string(slot);
        run.start = store_utc_now();
        run.duration_ms = 1000 * slot;
        run.verdict = pass ? "pass" : "fail";
        if (!pass) {
            run.failure_class = "link";
            run.failure_line = "5";
            run.failure_text = "program app.bin 0x802000";
        }
        run.device_address = address;
        run.address_written = fate == address_fate::consumed;
        run.pool = "line";
        run.fate = fate;
        run.record = "{}";
        int64_t id = 0;
        EXPECT_EQ(s.store_run(run, &id), "");
        return id;
    }

    pool_stats pool() {
        std::vector<pool_stats> pools;
        EXPECT_EQ(store_->pool_show("line", &pools), "");
        return pools.empty() ? pool_stats() : pools[0];
    }

    std::string url_;
    std::unique_ptr<station_store> store_;
};

TEST_P(StationStore, addresses_reserved_in_ascending_order_and_settled_by_each_run) {
    ASSERT_EQ(store_->pool_create("line", "00:00:00:00:01:00", "00:00:00:00:01:07"), "");
    int64_t cycle = 0;
    std::vector<std::string> got = begin(*store_, 4, &cycle);
    EXPECT_EQ(got, (std::vector<std::string>{"00:00:00:00:01:00", "00:00:00:00:01:01", "00:00:00:00:01:02",
                                             "00:00:00:00:01:03"}));
    EXPECT_EQ(pool().reserved, 4);
    store(*store_, cycle, 1, got[0], address_fate::consumed);
    store(*store_, cycle, 2, got[1], address_fate::returned, false);
    store(*store_, cycle, 3, got[2], address_fate::consumed, false);
    store(*store_, cycle, 4, got[3], address_fate::quarantined, false);
    ASSERT_EQ(store_->end_cycle(cycle), "");
    pool_stats p = pool();
    EXPECT_EQ(p.consumed, 2);
    EXPECT_EQ(p.quarantined, 1);
    EXPECT_EQ(p.reserved, 0);
    EXPECT_EQ(p.free, 5);
    // The returned address comes first again, then fresh ones.
    got = begin(*store_, 3, &cycle);
    EXPECT_EQ(got, (std::vector<std::string>{"00:00:00:00:01:01", "00:00:00:00:01:04", "00:00:00:00:01:05"}));
    // Two free left, three asked: the whole cycle is refused, nothing reserved.
    std::string message;
    int64_t refused = 0;
    EXPECT_TRUE(begin(*store_, 3, &refused, &message).empty());
    EXPECT_EQ(message, "flint-gang: pool line has 2 free addresses for 3 ports: nothing was started\n");
    EXPECT_EQ(pool().reserved, 3);
    EXPECT_EQ(pool().free, 2);
}

TEST_P(StationStore, a_gang_that_died_leaves_its_reservations_quarantined_until_released) {
    ASSERT_EQ(store_->pool_create("line", "00:00:00:00:02:00", "00:00:00:00:02:09"), "");
    std::vector<std::string> dead;
    {
        std::unique_ptr<station_store> other = open_store();
        int64_t cycle = 0;
        dead = begin(*other, 2, &cycle);
        // Its gang ends without a word: no run stored, the cycle not ended.
    }
    int64_t live_cycle = 0;
    const std::vector<std::string> live = begin(*store_, 1, &live_cycle);
    // The server ends the other session's locks when its backend has gone,
    // a moment after the connection closed: wait for that, bounded.
    int64_t count = 0;
    for (int tries = 0; tries < 200 && count == 0; ++tries) {
        ASSERT_EQ(store_->quarantine_abandoned(&count), "");
        if (count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(count, 2);
    const pool_stats p = pool();
    EXPECT_EQ(p.quarantined, 2);
    EXPECT_EQ(p.reserved, 1);  // this gang's own reservation stays
    EXPECT_EQ(live, std::vector<std::string>{"00:00:00:00:02:02"});
    std::vector<std::string> lines;
    ASSERT_EQ(store_->pool_quarantined("line", &lines), "");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 17), dead[0]);

    EXPECT_EQ(store_->pool_release("line", live[0]),
              "flint-gang: " + live[0] + " is reserved by a gang that is running\n");
    EXPECT_EQ(store_->pool_release("line", "00:00:00:00:02:09"),
              "flint-gang: 00:00:00:00:02:09 is not quarantined in pool line\n");
    EXPECT_EQ(store_->pool_release("line", dead[1]), "");
    int64_t next = 0;
    EXPECT_EQ(begin(*store_, 1, &next), std::vector<std::string>{dead[1]});
}

TEST_P(StationStore, pools_refused_when_their_range_is_wrong) {
    ASSERT_EQ(store_->pool_create("line", "00:00:00:00:03:00", "00:00:00:00:03:ff"), "");
    const struct {
        const char* name;
        const char* first;
        const char* last;
        const char* message;
    } cases[] = {
        {"b", "00:00:00:00:04:10", "00:00:00:00:04:00",
         "flint-gang: the pool's range 00:00:00:00:04:10 to 00:00:00:00:04:00 runs backwards\n"},
        {"b", "00:00:00:00:02:00", "00:00:00:00:03:00",
         "flint-gang: the range 00:00:00:00:02:00 to 00:00:00:00:03:00 overlaps pool line (00:00:00:00:03:00 to "
         "00:00:00:00:03:FF)\n"},
        {"b", "00:00:00:00:03:80", "00:00:00:00:03:90",
         "flint-gang: the range 00:00:00:00:03:80 to 00:00:00:00:03:90 overlaps pool line (00:00:00:00:03:00 to "
         "00:00:00:00:03:FF)\n"},
        {"b", "00:00:00:00:04", "00:00:00:00:05:00", "flint-gang: 00:00:00:00:04 is no device address (00:11:22:33:44:55)\n"},
        {"line", "00:00:00:00:05:00", "00:00:00:00:05:01", "flint-gang: there is a pool line already\n"},
        {"a b", "00:00:00:00:05:00", "00:00:00:00:05:01",
         "flint-gang: a pool name has 1 to 64 characters without blanks or commas\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(store_->pool_create(c.name, c.first, c.last), c.message) << c.first;
    std::vector<pool_stats> pools;
    ASSERT_EQ(store_->pool_show("", &pools), "");
    EXPECT_EQ(pools.size(), 1u);
}

TEST_P(StationStore, a_schema_newer_than_the_program_is_refused) {
    std::string error;
    std::unique_ptr<sql_db> db = GetParam() == "sqlite" ? sqlite_connect(url_.substr(7), &error) : pg_connect(url_, &error);
    ASSERT_NE(db, nullptr) << error;
    ASSERT_TRUE(db->run("UPDATE station_schema SET version = ?", {std::to_string(SCHEMA_VERSION + 1)}, nullptr));
    EXPECT_EQ(station_store::open(url_, &error), nullptr);
    EXPECT_EQ(error, "flint-gang: the station database " + url_ + " has schema version " +
                         std::to_string(SCHEMA_VERSION + 1) + ", newer than this flint-gang's " +
                         std::to_string(SCHEMA_VERSION) + ": use the flint-gang that wrote it, or a newer one\n");
}

TEST_P(StationStore, the_report_counts_modules_passes_and_failures) {
    ASSERT_EQ(store_->pool_create("line", "00:00:00:00:06:00", "00:00:00:00:06:ff"), "");
    for (int c = 0; c < 3; ++c) {
        int64_t cycle = 0;
        const std::vector<std::string> got = begin(*store_, 2, &cycle);
        store(*store_, cycle, 1, got[0], address_fate::consumed);
        store(*store_, cycle, 2, got[1], c == 0 ? address_fate::returned : address_fate::consumed, c != 0);
        ASSERT_EQ(store_->end_cycle(cycle), "");
    }
    station_report r;
    ASSERT_EQ(store_->report(report_filter(), &r), "");
    ASSERT_EQ(r.groups.size(), 3u);
    const run_stats& all = r.groups[0];
    EXPECT_EQ(all.station, "st-1");
    EXPECT_EQ(all.slot, 0);
    EXPECT_EQ(all.cycles, 3);
    EXPECT_EQ(all.runs, 6);
    EXPECT_EQ(all.modules, 6);
    EXPECT_EQ(all.passed, 5);
    EXPECT_EQ(all.failed, 1);
    EXPECT_EQ(all.first_pass, 5);
    EXPECT_DOUBLE_EQ(all.median_s, 1.5);
    EXPECT_EQ(all.by_class, (std::map<std::string, int64_t>{{"link", 1}}));
    EXPECT_EQ(all.by_line, (std::map<std::string, int64_t>{{"line 5: program app.bin 0x802000", 1}}));
    EXPECT_EQ(r.groups[2].slot, 2);
    EXPECT_EQ(r.groups[2].port, "COM2");
    EXPECT_EQ(r.groups[2].failed, 1);
    ASSERT_EQ(r.pools.size(), 1u);
    EXPECT_EQ(r.pools[0].consumed, 5);
    EXPECT_EQ(r.pools[0].free, 256 - 5);

    report_filter later;
    later.since = "2999-01-01";
    station_report none;
    ASSERT_EQ(store_->report(later, &none), "");
    EXPECT_TRUE(none.groups.empty());
    std::vector<stored_run> recent;
    ASSERT_EQ(store_->recent_runs(4, &recent), "");
    ASSERT_EQ(recent.size(), 4u);
    EXPECT_GT(recent[0].id, recent[1].id);
    EXPECT_EQ(recent[0].entry.slot, 2);
}

INSTANTIATE_TEST_SUITE_P(Databases, StationStore, testing::Values("sqlite", "postgresql"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(StationStoreOpen, unusable_databases_are_refused_with_the_reason) {
    std::string error;
    EXPECT_EQ(station_store::open("mysql://x", &error), nullptr);
    EXPECT_EQ(error, "flint-gang: --db mysql://x: give sqlite:PATH, a PostgreSQL connection string "
                     "(postgresql://...) or none\n");
    EXPECT_EQ(station_store::open("sqlite:/no/such/folder/x.db", &error), nullptr);
    EXPECT_EQ(error, "flint-gang: cannot open the station database sqlite:/no/such/folder/x.db: unable to open "
                     "database file\n");
    const std::string path = scratch("read-only.db");
    ASSERT_NE(station_store::open("sqlite:" + path, &error), nullptr);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_EQ(station_store::open("sqlite:" + path, &error), nullptr);
    EXPECT_EQ(error, "flint-gang: cannot open the station database sqlite:" + path +
                         ": the file is read-only: the station must be able to write it\n");
    EXPECT_EQ(station_store::open("postgresql://station:secret@/x?host=/nonexistent", &error), nullptr);
    EXPECT_EQ(error.find("secret"), std::string::npos) << error;
    EXPECT_NE(error.find("postgresql://station:***@/x?host=/nonexistent"), std::string::npos) << error;
    EXPECT_EQ(station_store::open("postgresql:///x?host=/nonexistent&connect_timeout=2", &error), nullptr);
    EXPECT_NE(error.find("flint-gang: cannot open the station database postgresql:///x?host=/nonexistent"),
              std::string::npos)
        << error;
}

}  // namespace
