// Version 1 of the station database. Times are UTC texts with milliseconds
// ("2026-12-10T15:58:49.123Z"), which sort as they compare; device addresses
// are 48-bit numbers. "%ID%" stands for the database's generated row number.
#include "gang/store/schema.h"

#include <cstdlib>
#include <vector>

namespace {

struct schema_step {
    int version;  // the version the database has after this step
    std::vector<const char*> statements;
};

const std::vector<schema_step> SCHEMA_STEPS = {
    {1,
     {
         // One gang run: its station and, while it runs, its owner (the
         // process or server session whose end shows that it has ended).
         "CREATE TABLE cycles (id %ID%, station TEXT NOT NULL, host TEXT NOT NULL, pid BIGINT NOT NULL,"
         " owner TEXT, start_time TEXT NOT NULL, end_time TEXT, ports INTEGER NOT NULL, pool TEXT,"
         " state TEXT NOT NULL)",  // running, ended, abandoned
         "CREATE INDEX cycles_state ON cycles (state)",
         // One module run: the whole record and its indexed fields.
         "CREATE TABLE runs (id %ID%, cycle BIGINT NOT NULL REFERENCES cycles (id), station TEXT NOT NULL,"
         " slot INTEGER NOT NULL, port TEXT NOT NULL, start_time TEXT NOT NULL, duration_ms BIGINT NOT NULL,"
         " exit_code INTEGER, verdict TEXT NOT NULL, failure_class TEXT, failure_line INTEGER, failure_text TEXT,"
         " device_address TEXT, address_written INTEGER NOT NULL, pool TEXT, image_sha256 TEXT,"
         " record TEXT NOT NULL)",
         "CREATE INDEX runs_start ON runs (start_time)",
         "CREATE INDEX runs_station ON runs (station, slot, start_time)",
         "CREATE INDEX runs_verdict ON runs (verdict, failure_class)",
         "CREATE INDEX runs_address ON runs (device_address)",
         "CREATE INDEX runs_image ON runs (image_sha256)",
         // A pool hands out first..last; next_address: the lowest never handed out.
         "CREATE TABLE pools (name TEXT PRIMARY KEY, first_address BIGINT NOT NULL, last_address BIGINT NOT NULL,"
         " next_address BIGINT NOT NULL, created TEXT NOT NULL)",
         // Every address ever handed out: reserved, consumed, quarantined or
         // free again (returned, or released by an operator).
         "CREATE TABLE addresses (pool TEXT NOT NULL REFERENCES pools (name), address BIGINT NOT NULL,"
         " state TEXT NOT NULL, cycle BIGINT, slot INTEGER, run BIGINT, changed TEXT NOT NULL,"
         " PRIMARY KEY (pool, address))",
         "CREATE INDEX addresses_state ON addresses (pool, state, address)",
         "CREATE INDEX addresses_cycle ON addresses (cycle)",
     }},
};

std::string with_id_type(std::string sql, const char* id_type) {
    const std::string mark = "%ID%";
    for (size_t at; (at = sql.find(mark)) != std::string::npos;) sql.replace(at, mark.size(), id_type);
    return sql;
}

std::string failed(const std::string& url, sql_db& db) {
    return "flint-gang: cannot prepare the station database " + url + ": " + db.error() + "\n";
}

// The version stored, 0 for a database without the station's tables.
bool stored_version(sql_db& db, int* version) {
    std::vector<sql_row> rows;
    if (!db.run("CREATE TABLE IF NOT EXISTS station_schema (version INTEGER NOT NULL)", {}, nullptr) ||
        !db.run("SELECT version FROM station_schema", {}, &rows))
        return false;
    *version = rows.empty() || !rows[0][0] ? 0 : std::atoi(rows[0][0]->c_str());
    return true;
}

bool upgrade(sql_db& db, int from) {
    for (const schema_step& step : SCHEMA_STEPS) {
        if (step.version <= from) continue;
        for (const char* sql : step.statements)
            if (!db.run(with_id_type(sql, db.id_type()), {}, nullptr)) return false;
    }
    const std::string version = std::to_string(SCHEMA_VERSION);
    if (from == 0) return db.run("INSERT INTO station_schema (version) VALUES (?)", {version}, nullptr);
    return db.run("UPDATE station_schema SET version = ?", {version}, nullptr);
}

std::string newer(const std::string& url, int version) {
    return "flint-gang: the station database " + url + " has schema version " + std::to_string(version) +
           ", newer than this flint-gang's " + std::to_string(SCHEMA_VERSION) +
           ": use the flint-gang that wrote it, or a newer one\n";
}

}  // namespace

std::string schema_prepare(sql_db& db, const std::string& url) {
    // A database of this version is only read: no write lock, nothing to commit.
    std::vector<sql_row> rows;
    if (db.run("SELECT version FROM station_schema", {}, &rows) && rows.size() == 1 && rows[0][0]) {
        const int found = std::atoi(rows[0][0]->c_str());
        if (found == SCHEMA_VERSION) return "";
        if (found > SCHEMA_VERSION) return newer(url, found);
    }
    if (!db.begin_write() || !db.lock_schema()) return failed(url, db);
    int version = 0;
    bool ok = stored_version(db, &version);
    if (ok && version > SCHEMA_VERSION) {
        db.run("ROLLBACK", {}, nullptr);
        return newer(url, version);
    }
    if (ok && version < SCHEMA_VERSION) ok = upgrade(db, version);
    if (ok && db.run("COMMIT", {}, nullptr)) return "";
    const std::string message = failed(url, db);
    db.run("ROLLBACK", {}, nullptr);
    return message;
}
