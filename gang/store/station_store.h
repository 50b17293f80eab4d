// The station database: every module run's record with its cycle, station,
// slot and port; the device address pools; the counters of the report.
// One implementation of the station's logic over a connection to SQLite or
// PostgreSQL (sql_db.h). Every call returns "" or the message of its failure
// (one or more lines, each ending with a newline).
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gang/store/sql_db.h"

// The database a station uses when --db is not given, and the word for none.
extern const char* const STORE_DEFAULT_URL;
extern const char* const STORE_NONE;

// What becomes of a run's reserved device address when the run has ended.
enum class address_fate {
    returned,     // the line that writes it never ran: free for the next module
    consumed,     // the line ran: the module may hold it, bound to this run
    quarantined,  // unknown (no whole record): kept until an operator releases it
};

// One module run as it is stored: the whole record and its indexed fields.
struct run_entry {
    int64_t cycle = 0;
    std::string station;
    int slot = 0;                 // position in -c, from 1
    std::string port;
    std::string start;            // UTC, "2026-12-10T15:58:49.123Z"
    int64_t duration_ms = 0;
    sql_text exit_code;
    std::string verdict;          // "pass" or "fail"
    sql_text failure_class;
    sql_text failure_line;
    sql_text failure_text;
    sql_text device_address;      // as the record gives it
    bool address_written = false; // the line that writes it ran
    std::string pool;             // the pool it came from ("" for none)
    address_fate fate = address_fate::returned;
    sql_text image_sha256;        // the images' payload hashes, comma-separated
    std::string record;           // the whole record, one JSON object
};

// Counters of one station (slot 0) or one slot of a station.
struct run_stats {
    std::string station;
    int slot = 0;
    std::string port;             // the slot's latest port
    int64_t cycles = 0;
    int64_t runs = 0;             // module runs
    int64_t modules = 0;          // modules: runs that wrote one device address count once
    int64_t passed = 0;           // modules whose latest run passed
    int64_t failed = 0;
    int64_t first_pass = 0;       // modules whose first run passed
    double median_s = 0;          // median run time
    double per_hour = 0;          // modules per hour, from the first start to the last end
    std::map<std::string, int64_t> by_class;   // failed runs by failure class
    std::map<std::string, int64_t> by_line;    // failed runs by "line N: text"
};

struct pool_stats {
    std::string name;
    std::string first;
    std::string last;
    int64_t consumed = 0;
    int64_t free = 0;
    int64_t quarantined = 0;
    int64_t reserved = 0;
};

struct report_filter {
    std::string since;            // UTC text; runs that started then or later ("" for all)
    std::string station;          // "" for every station
};

struct station_report {
    std::vector<run_stats> groups;  // per station (slot 0) followed by its slots
    std::vector<pool_stats> pools;
};

// A stored run as the recent-records call gives it.
struct stored_run {
    int64_t id = 0;
    run_entry entry;
};

class station_store {
public:
    // Opens "sqlite:PATH" or a PostgreSQL connection string ("postgresql://..."),
    // creating or upgrading the schema. nullptr and the message otherwise.
    static std::unique_ptr<station_store> open(const std::string& url, std::string* error);

    // A cycle of `station` with `ports` modules begins; with a pool, one
    // address per port is reserved in one transaction, in ascending order, or
    // nothing at all.
    std::string begin_cycle(const std::string& station, size_t ports, const std::string& pool, int64_t* cycle,
                            std::vector<std::string>* addresses);
    // Stores a run and settles its address, in one transaction.
    std::string store_run(const run_entry& run, int64_t* id);
    std::string end_cycle(int64_t cycle);

    // Cycles whose gang ended without ending them: their reserved addresses
    // become quarantined. *count: how many addresses.
    std::string quarantine_abandoned(int64_t* count);

    std::string pool_create(const std::string& name, const std::string& first, const std::string& last);
    std::string pool_show(const std::string& name, std::vector<pool_stats>* pools);
    std::string pool_release(const std::string& name, const std::string& address);
    // The quarantined addresses of a pool, each with the cycle that left it.
    std::string pool_quarantined(const std::string& name, std::vector<std::string>* lines);

    std::string report(const report_filter& filter, station_report* out);
    std::string recent_runs(size_t count, std::vector<stored_run>* out);

    const std::string& url() const { return url_; }

private:
    station_store(std::unique_ptr<sql_db> db, std::string url) : db_(std::move(db)), url_(std::move(url)) {}
    std::string failure(const std::string& what) const;
    bool transaction_ends(bool ok);
    std::string reserve(const std::string& pool, int64_t cycle, size_t count, std::vector<std::string>* addresses);
    std::string settle_address(const run_entry& run, int64_t id);
    std::string load_runs(const report_filter& filter, std::vector<sql_row>* rows);
    std::string load_pools(const std::string& name, std::vector<pool_stats>* pools);

    std::unique_ptr<sql_db> db_;
    std::string url_;
    std::vector<int64_t> own_cycles_;
};

// The file of an "sqlite:PATH" URL; "" for any other.
std::string store_sqlite_path(const std::string& url);

// The current time as the records give it (UTC, milliseconds).
std::string store_utc_now();
