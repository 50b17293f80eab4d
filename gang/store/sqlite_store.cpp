// The station database in an SQLite file: a station's own records, and the
// gangs of one station sharing one file (write-ahead log, a busy time-out,
// transactions that take the write lock when they begin).
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

#include "gang/store/sql_db.h"
#include "platform/platform.h"

namespace {

// How long a statement waits for another gang's transaction on the same file.
constexpr int BUSY_TIMEOUT_MS = 30000;

bool is_integer(const std::string& text) {
    if (text.empty() || text.size() > 18) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] >= '0' && text[i] <= '9') && !(i == 0 && text[i] == '-' && text.size() > 1)) return false;
    return true;
}

bool write_protected(const std::string& path) {
    using std::filesystem::perms;
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::is_regular_file(st)) return false;
    return (st.permissions() & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none;
}

class sqlite_db : public sql_db {
public:
    explicit sqlite_db(sqlite3* db) : db_(db) {}
    ~sqlite_db() override { sqlite3_close_v2(db_); }

    bool run(const std::string& sql, const std::vector<sql_text>& params, std::vector<sql_row>* rows) override {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK)
            return failed(stmt);
        for (size_t i = 0; i < params.size(); ++i)
            if (!bind(stmt, static_cast<int>(i + 1), params[i])) return failed(stmt);
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            if (rows != nullptr) rows->push_back(row_of(stmt));
        if (rc != SQLITE_DONE) return failed(stmt);
        sqlite3_finalize(stmt);
        return true;
    }

    bool begin_write() override { return run("BEGIN IMMEDIATE", {}, nullptr); }
    const char* lock_rows(bool) const override { return ""; }
    const char* id_type() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }
    bool lock_schema() override { return true; }  // BEGIN IMMEDIATE holds the file already

    // A gang on this station: its host and process number. A gang of another
    // host (a file on a share) is taken to be alive: its reservations stay.
    std::string claim_owner(int64_t) override {
        return plat_host_name() + ":" + std::to_string(plat_process_id());
    }
    bool owner_alive(int64_t, const std::string& owner) override {
        const size_t colon = owner.rfind(':');
        if (colon == std::string::npos || owner.substr(0, colon) != plat_host_name()) return true;
        const uint32_t pid = static_cast<uint32_t>(std::strtoul(owner.c_str() + colon + 1, nullptr, 10));
        return pid != plat_process_id() && plat_process_alive(pid);
    }

    std::string error() const override { return error_; }

private:
    bool bind(sqlite3_stmt* stmt, int at, const sql_text& value) {
        if (!value) return sqlite3_bind_null(stmt, at) == SQLITE_OK;
        if (is_integer(*value)) return sqlite3_bind_int64(stmt, at, std::strtoll(value->c_str(), nullptr, 10)) == SQLITE_OK;
        return sqlite3_bind_text(stmt, at, value->data(), static_cast<int>(value->size()), SQLITE_TRANSIENT) ==
               SQLITE_OK;
    }

    static sql_row row_of(sqlite3_stmt* stmt) {
        sql_row row;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            const unsigned char* text = sqlite3_column_text(stmt, c);
            if (text == nullptr)
                row.emplace_back(std::nullopt);
            else
                row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                             static_cast<size_t>(sqlite3_column_bytes(stmt, c))));
        }
        return row;
    }

    bool failed(sqlite3_stmt* stmt) {
        error_ = sqlite3_errmsg(db_);
        sqlite3_finalize(stmt);
        return false;
    }

    sqlite3* db_;
    std::string error_;
};

}  // namespace

std::unique_ptr<sql_db> sqlite_connect(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        *error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        return nullptr;
    }
    // A file the station may not write is opened for reading without a word;
    // one whose write permissions are all taken away (chmod a-w, the
    // read-only attribute) is refused even where the user could write it.
    if (sqlite3_db_readonly(db, "main") == 1 || write_protected(path)) {
        *error = "the file is read-only: the station must be able to write it";
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    auto conn = std::make_unique<sqlite_db>(db);
    std::vector<sql_row> mode;
    if (!conn->run("PRAGMA journal_mode=WAL", {}, &mode) || !conn->run("PRAGMA synchronous=FULL", {}, nullptr)) {
        *error = conn->error();
        return nullptr;
    }
    return conn;
}
