// The station's logic over one database connection: cycles, runs, pools.
#include "gang/store/station_store.h"

#include <cstdio>

#include "gang/store/address.h"
#include "gang/store/schema.h"
#include "gang/store/utc_time.h"
#include "platform/platform.h"

const char* const STORE_DEFAULT_URL = "sqlite:flint-station.db";
const char* const STORE_NONE = "none";

namespace {

constexpr size_t POOL_NAME_MAX = 64;

const char* const SQLITE_PREFIX = "sqlite:";
const char* const PG_PREFIXES[] = {"postgresql://", "postgres://"};

const char* const STATE_RUNNING = "running";
const char* const STATE_ENDED = "ended";
const char* const STATE_ABANDONED = "abandoned";
const char* const ADDRESS_RESERVED = "reserved";
const char* const ADDRESS_CONSUMED = "consumed";
const char* const ADDRESS_QUARANTINED = "quarantined";
const char* const ADDRESS_FREE = "free";

const char* const MSG_URL =
    "flint-gang: --db %s: give sqlite:PATH, a PostgreSQL connection string (postgresql://...) or none\n";
const char* const MSG_UNREACHABLE = "flint-gang: cannot open the station database %s: %s\n";

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string fill(const char* fmt, const std::string& a, const std::string& b = "") {
    std::string out(fmt);
    size_t at = out.find("%s");
    if (at != std::string::npos) {
        out.replace(at, 2, a);
        at = out.find("%s", at + a.size());
        if (at != std::string::npos) out.replace(at, 2, b);
    }
    return out;
}

std::unique_ptr<sql_db> connect(const std::string& url, std::string* error) {
    const std::string file = store_sqlite_path(url);
    if (!file.empty()) return sqlite_connect(file, error);
    for (const char* prefix : PG_PREFIXES)
        if (starts_with(url, prefix)) return pg_connect(url, error);
    *error = "";
    return nullptr;
}

// The database as messages name it: a PostgreSQL URL without its password.
std::string shown_url(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const size_t at = url.find('@', scheme + 3);
    const size_t colon = url.find(':', scheme + 3);
    if (at == std::string::npos || colon == std::string::npos || colon > at || url.find('/', scheme + 3) < at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::string text_of(const sql_text& value) { return value.value_or(""); }
int64_t number_of(const sql_text& value) { return value ? std::strtoll(value->c_str(), nullptr, 10) : 0; }

}  // namespace

std::string store_sqlite_path(const std::string& url) {
    const size_t prefix = std::char_traits<char>::length(SQLITE_PREFIX);
    return starts_with(url, SQLITE_PREFIX) ? url.substr(prefix) : std::string();
}

std::string store_utc_now() { return utc_text(utc_now_ms()); }

std::unique_ptr<station_store> station_store::open(const std::string& url, std::string* error) {
    std::string why;
    const std::string shown = shown_url(url);
    std::unique_ptr<sql_db> db = connect(url, &why);
    if (db == nullptr) {
        *error = why.empty() ? fill(MSG_URL, shown) : fill(MSG_UNREACHABLE, shown, why);
        return nullptr;
    }
    *error = schema_prepare(*db, shown);
    if (!error->empty()) return nullptr;
    return std::unique_ptr<station_store>(new station_store(std::move(db), shown));
}

std::string station_store::failure(const std::string& what) const {
    return "flint-gang: station database " + url_ + ": " + what + ": " + db_->error() + "\n";
}

// Commits when `ok`, else rolls back; true when the transaction committed.
bool station_store::transaction_ends(bool ok) {
    if (ok && db_->run("COMMIT", {}, nullptr)) return true;
    db_->run("ROLLBACK", {}, nullptr);
    return false;
}

// ---------------------------------------------------------------- cycles

std::string station_store::begin_cycle(const std::string& station, size_t ports, const std::string& pool,
                                       int64_t* cycle, std::vector<std::string>* addresses) {
    if (!db_->begin_write()) return failure("cannot begin the cycle");
    std::vector<sql_row> rows;
    bool ok = db_->run("INSERT INTO cycles (station, host, pid, start_time, ports, pool, state)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id",
                       {station, plat_host_name(), std::to_string(plat_process_id()), store_utc_now(),
                        std::to_string(ports), pool.empty() ? sql_text() : sql_text(pool), STATE_RUNNING},
                       &rows) &&
              !rows.empty();
    *cycle = ok ? number_of(rows[0][0]) : 0;
    const std::string owner = ok ? db_->claim_owner(*cycle) : std::string();
    ok = ok && !owner.empty() &&
         db_->run("UPDATE cycles SET owner = ? WHERE id = ?", {owner, std::to_string(*cycle)}, nullptr);
    if (!ok) {
        const std::string message = failure("cannot begin the cycle");
        transaction_ends(false);
        return message;
    }
    if (!pool.empty()) {
        const std::string refused = reserve(pool, *cycle, ports, addresses);
        if (!refused.empty()) {
            transaction_ends(false);
            return refused;
        }
    }
    if (!transaction_ends(true)) return failure("cannot begin the cycle");
    own_cycles_.push_back(*cycle);
    return "";
}

// Within begin_cycle's transaction: the lowest free addresses first (those
// returned or released), then the pool's never handed out ones.
std::string station_store::reserve(const std::string& pool, int64_t cycle, size_t count,
                                   std::vector<std::string>* addresses) {
    std::vector<sql_row> pools, free_rows;
    if (!db_->run(std::string("SELECT first_address, last_address, next_address FROM pools WHERE name = ?") +
                      db_->lock_rows(false),
                  {pool}, &pools))
        return failure("cannot read pool " + pool);
    if (pools.empty()) return "flint-gang: there is no address pool " + pool + " (flint-gang pool create)\n";
    const int64_t last = number_of(pools[0][1]);
    int64_t next = number_of(pools[0][2]);
    if (!db_->run(std::string("SELECT address FROM addresses WHERE pool = ? AND state = ? ORDER BY address LIMIT ?") +
                      db_->lock_rows(true),
                  {pool, ADDRESS_FREE, std::to_string(count)}, &free_rows))
        return failure("cannot read pool " + pool);
    const int64_t fresh = last - next + 1;
    const int64_t available = static_cast<int64_t>(free_rows.size()) + (fresh > 0 ? fresh : 0);
    if (available < static_cast<int64_t>(count))
        return "flint-gang: pool " + pool + " has " + std::to_string(available) + " free addresses for " +
               std::to_string(count) + " ports: nothing was started\n";
    const std::string now = store_utc_now(), cycle_text = std::to_string(cycle);
    // Returned addresses one by one (there are few), fresh ones in one statement.
    std::string insert = "INSERT INTO addresses (state, cycle, slot, changed, pool, address) VALUES ";
    std::vector<sql_text> fresh_params;
    for (size_t slot = 1; slot <= count; ++slot) {
        const bool reused = slot <= free_rows.size();
        const int64_t address = reused ? number_of(free_rows[slot - 1][0]) : next++;
        const std::vector<sql_text> params = {ADDRESS_RESERVED, cycle_text, std::to_string(slot), now, pool,
                                              std::to_string(address)};
        if (reused && !db_->run("UPDATE addresses SET state = ?, cycle = ?, slot = ?, run = NULL, changed = ?"
                                " WHERE pool = ? AND address = ?",
                                params, nullptr))
            return failure("cannot reserve addresses of pool " + pool);
        if (!reused) {
            insert += fresh_params.empty() ? "(?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?)";
            fresh_params.insert(fresh_params.end(), params.begin(), params.end());
        }
        addresses->push_back(address_text(static_cast<uint64_t>(address)));
    }
    if (!fresh_params.empty() && !db_->run(insert, fresh_params, nullptr))
        return failure("cannot reserve addresses of pool " + pool);
    if (!db_->run("UPDATE pools SET next_address = ? WHERE name = ?", {std::to_string(next), pool}, nullptr))
        return failure("cannot reserve addresses of pool " + pool);
    return "";
}

std::string station_store::store_run(const run_entry& run, int64_t* id) {
    if (!db_->begin_write()) return failure("cannot store the run on " + run.port);
    std::vector<sql_row> rows;
    bool ok = db_->run("INSERT INTO runs (cycle, station, slot, port, start_time, duration_ms, exit_code, verdict,"
                       " failure_class, failure_line, failure_text, device_address, address_written, pool,"
                       " image_sha256, record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                       {std::to_string(run.cycle), run.station, std::to_string(run.slot), run.port, run.start,
                        std::to_string(run.duration_ms), run.exit_code, run.verdict, run.failure_class,
                        run.failure_line, run.failure_text, run.device_address, run.address_written ? "1" : "0",
                        run.pool.empty() ? sql_text() : sql_text(run.pool), run.image_sha256, run.record},
                       &rows) &&
              !rows.empty();
    *id = ok ? number_of(rows[0][0]) : 0;
    std::string message = ok ? settle_address(run, *id) : failure("cannot store the run on " + run.port);
    if (!message.empty()) {
        transaction_ends(false);
        return message;
    }
    return transaction_ends(true) ? "" : failure("cannot store the run on " + run.port);
}

std::string station_store::settle_address(const run_entry& run, int64_t id) {
    uint64_t address = 0;
    if (run.pool.empty() || !run.device_address || !address_parse(*run.device_address, &address)) return "";
    static const char* const STATES[] = {ADDRESS_FREE, ADDRESS_CONSUMED, ADDRESS_QUARANTINED};
    const bool returned = run.fate == address_fate::returned;
    const sql_text bound = returned ? sql_text() : sql_text(std::to_string(id));
    if (!db_->run("UPDATE addresses SET state = ?, run = ?, cycle = CASE WHEN ? = 1 THEN NULL ELSE cycle END,"
                  " changed = ? WHERE pool = ? AND address = ? AND cycle = ? AND state = ?",
                  {STATES[static_cast<int>(run.fate)], bound, returned ? "1" : "0", store_utc_now(), run.pool,
                   std::to_string(address), std::to_string(run.cycle), ADDRESS_RESERVED},
                  nullptr))
        return failure("cannot settle address " + *run.device_address);
    return "";
}

// What the cycle left reserved (a run that could not be stored) is quarantined.
std::string station_store::end_cycle(int64_t cycle) {
    const std::string now = store_utc_now(), key = std::to_string(cycle);
    const bool ok = db_->begin_write() &&
                    db_->run("UPDATE addresses SET state = ?, changed = ? WHERE cycle = ? AND state = ?",
                             {ADDRESS_QUARANTINED, now, key, ADDRESS_RESERVED}, nullptr) &&
                    db_->run("UPDATE cycles SET state = ?, end_time = ? WHERE id = ?", {STATE_ENDED, now, key},
                             nullptr);
    if (!transaction_ends(ok)) return failure("cannot end cycle " + key);
    return "";
}

std::string station_store::quarantine_abandoned(int64_t* count) {
    *count = 0;
    std::vector<sql_row> cycles;
    if (!db_->run("SELECT id, owner FROM cycles WHERE state = ?", {STATE_RUNNING}, &cycles))
        return failure("cannot look for abandoned cycles");
    for (const sql_row& c : cycles) {
        const int64_t id = number_of(c[0]);
        bool own = false;
        for (int64_t mine : own_cycles_) own = own || mine == id;
        if (own || db_->owner_alive(id, text_of(c[1]))) continue;
        std::vector<sql_row> moved;
        const std::string now = store_utc_now(), key = std::to_string(id);
        const bool ok = db_->begin_write() &&
                        db_->run("UPDATE addresses SET state = ?, changed = ? WHERE cycle = ? AND state = ?"
                                 " RETURNING address",
                                 {ADDRESS_QUARANTINED, now, key, ADDRESS_RESERVED}, &moved) &&
                        db_->run("UPDATE cycles SET state = ?, end_time = ? WHERE id = ? AND state = ?",
                                 {STATE_ABANDONED, now, key, STATE_RUNNING}, nullptr);
        if (!transaction_ends(ok)) return failure("cannot quarantine the addresses of cycle " + key);
        *count += static_cast<int64_t>(moved.size());
    }
    return "";
}

// ---------------------------------------------------------------- pools

std::string station_store::pool_create(const std::string& name, const std::string& first, const std::string& last) {
    if (name.empty() || name.size() > POOL_NAME_MAX || name.find_first_of(" \t\r\n,") != std::string::npos)
        return "flint-gang: a pool name has 1 to " + std::to_string(POOL_NAME_MAX) +
               " characters without blanks or commas\n";
    uint64_t a = 0, b = 0;
    if (!address_parse(first, &a)) return "flint-gang: " + first + " is no device address (00:11:22:33:44:55)\n";
    if (!address_parse(last, &b)) return "flint-gang: " + last + " is no device address (00:11:22:33:44:55)\n";
    if (b < a) return "flint-gang: the pool's range " + first + " to " + last + " runs backwards\n";
    if (!db_->begin_write()) return failure("cannot create pool " + name);
    std::vector<sql_row> rows;
    bool ok = db_->run("SELECT name, first_address, last_address FROM pools WHERE name = ? OR"
                       " (first_address <= ? AND last_address >= ?)",
                       {name, std::to_string(b), std::to_string(a)}, &rows);
    std::string message;
    if (ok && !rows.empty()) {
        const sql_row& r = rows[0];
        message = text_of(r[0]) == name
                      ? "flint-gang: there is a pool " + name + " already\n"
                      : "flint-gang: the range " + first + " to " + last + " overlaps pool " + text_of(r[0]) + " (" +
                            address_text(static_cast<uint64_t>(number_of(r[1]))) + " to " +
                            address_text(static_cast<uint64_t>(number_of(r[2]))) + ")\n";
        ok = false;
    }
    ok = ok && db_->run("INSERT INTO pools (name, first_address, last_address, next_address, created)"
                        " VALUES (?, ?, ?, ?, ?)",
                        {name, std::to_string(a), std::to_string(b), std::to_string(a), store_utc_now()}, nullptr);
    if (message.empty() && !ok) message = failure("cannot create pool " + name);
    if (!transaction_ends(ok) && message.empty()) message = failure("cannot create pool " + name);
    return message;
}

std::string station_store::pool_show(const std::string& name, std::vector<pool_stats>* pools) {
    int64_t quarantined = 0;
    const std::string refused = quarantine_abandoned(&quarantined);
    if (!refused.empty()) return refused;
    return load_pools(name, pools);
}

std::string station_store::load_pools(const std::string& name, std::vector<pool_stats>* pools) {
    std::vector<sql_row> rows;
    if (!db_->run("SELECT p.name, p.first_address, p.last_address, p.next_address,"
                  " (SELECT COUNT(*) FROM addresses a WHERE a.pool = p.name AND a.state = ?),"
                  " (SELECT COUNT(*) FROM addresses a WHERE a.pool = p.name AND a.state = ?),"
                  " (SELECT COUNT(*) FROM addresses a WHERE a.pool = p.name AND a.state = ?),"
                  " (SELECT COUNT(*) FROM addresses a WHERE a.pool = p.name AND a.state = ?)"
                  " FROM pools p WHERE ? = '' OR p.name = ? ORDER BY p.name",
                  {ADDRESS_CONSUMED, ADDRESS_QUARANTINED, ADDRESS_RESERVED, ADDRESS_FREE, name, name}, &rows))
        return failure("cannot read the pools");
    if (!name.empty() && rows.empty()) return "flint-gang: there is no address pool " + name + "\n";
    for (const sql_row& r : rows) {
        pool_stats p;
        p.name = text_of(r[0]);
        p.first = address_text(static_cast<uint64_t>(number_of(r[1])));
        p.last = address_text(static_cast<uint64_t>(number_of(r[2])));
        p.consumed = number_of(r[4]);
        p.quarantined = number_of(r[5]);
        p.reserved = number_of(r[6]);
        p.free = number_of(r[7]) + number_of(r[2]) - number_of(r[3]) + 1;
        pools->push_back(p);
    }
    return "";
}

std::string station_store::pool_release(const std::string& name, const std::string& address) {
    uint64_t value = 0;
    if (!address_parse(address, &value)) return "flint-gang: " + address + " is no device address (00:11:22:33:44:55)\n";
    int64_t quarantined = 0;
    std::string message = quarantine_abandoned(&quarantined);
    if (!message.empty()) return message;
    if (!db_->begin_write()) return failure("cannot release " + address);
    std::vector<sql_row> rows;
    bool ok = db_->run(std::string("SELECT state, run FROM addresses WHERE pool = ? AND address = ?") +
                           db_->lock_rows(false),
                       {name, std::to_string(value)}, &rows);
    const std::string state = ok && !rows.empty() ? text_of(rows[0][0]) : "";
    if (ok && state != ADDRESS_QUARANTINED) {
        ok = false;
        if (state == ADDRESS_CONSUMED)
            message = "flint-gang: " + address + " is consumed by run " + text_of(rows[0][1]) +
                      ": a module may hold it, it is not released\n";
        else if (state == ADDRESS_RESERVED)
            message = "flint-gang: " + address + " is reserved by a gang that is running\n";
        else
            message = "flint-gang: " + address + " is not quarantined in pool " + name + "\n";
    }
    ok = ok && db_->run("UPDATE addresses SET state = ?, cycle = NULL, slot = NULL, run = NULL, changed = ?"
                        " WHERE pool = ? AND address = ?",
                        {ADDRESS_FREE, store_utc_now(), name, std::to_string(value)}, nullptr);
    if (message.empty() && !ok) message = failure("cannot release " + address);
    if (!transaction_ends(ok) && message.empty()) message = failure("cannot release " + address);
    return message;
}

std::string station_store::pool_quarantined(const std::string& name, std::vector<std::string>* lines) {
    std::vector<sql_row> rows;
    if (!db_->run("SELECT a.address, a.cycle, a.slot, c.station, a.changed FROM addresses a"
                  " LEFT JOIN cycles c ON c.id = a.cycle WHERE a.pool = ? AND a.state = ? ORDER BY a.address",
                  {name, ADDRESS_QUARANTINED}, &rows))
        return failure("cannot read pool " + name);
    for (const sql_row& r : rows)
        lines->push_back(address_text(static_cast<uint64_t>(number_of(r[0]))) + "  cycle " + text_of(r[1]) +
                         " slot " + text_of(r[2]) + " of " + text_of(r[3]) + ", since " + text_of(r[4]));
    return "";
}

// ---------------------------------------------------------------- reading back

std::string station_store::recent_runs(size_t count, std::vector<stored_run>* out) {
    std::vector<sql_row> rows;
    if (!db_->run("SELECT id, cycle, station, slot, port, start_time, duration_ms, exit_code, verdict, failure_class,"
                  " failure_line, failure_text, device_address, address_written, pool, image_sha256, record"
                  " FROM runs ORDER BY id DESC LIMIT ?",
                  {std::to_string(count)}, &rows))
        return failure("cannot read the runs");
    for (const sql_row& r : rows) {
        stored_run s;
        s.id = number_of(r[0]);
        run_entry& e = s.entry;
        e.cycle = number_of(r[1]);
        e.station = text_of(r[2]);
        e.slot = static_cast<int>(number_of(r[3]));
        e.port = text_of(r[4]);
        e.start = text_of(r[5]);
        e.duration_ms = number_of(r[6]);
        e.exit_code = r[7];
        e.verdict = text_of(r[8]);
        e.failure_class = r[9];
        e.failure_line = r[10];
        e.failure_text = r[11];
        e.device_address = r[12];
        e.address_written = number_of(r[13]) != 0;
        e.pool = text_of(r[14]);
        e.image_sha256 = r[15];
        e.record = text_of(r[16]);
        out->push_back(std::move(s));
    }
    return "";
}

std::string station_store::load_runs(const report_filter& filter, std::vector<sql_row>* rows) {
    if (!db_->run("SELECT station, slot, port, cycle, start_time, duration_ms, verdict, failure_class, failure_line,"
                  " failure_text, device_address, address_written, id FROM runs"
                  " WHERE start_time >= ? AND (? = '' OR station = ?) ORDER BY station, slot, start_time, id",
                  {filter.since, filter.station, filter.station}, rows))
        return failure("cannot read the runs");
    return "";
}
