// The station database on a PostgreSQL server: the line's stations share it.
// Rows are locked as they are read for change (FOR UPDATE SKIP LOCKED), and a
// running gang holds a session lock named by its cycle, which the server
// drops when the gang's connection ends, however it ends.
#include <libpq-fe.h>

#include "gang/store/sql_db.h"

namespace {

// The first key of the session locks: this program's own class of locks.
const char* const LOCK_CLASS = "1181510260";  // "Flnt"
// How long connecting may take when the connection string does not say.
const char* const CONNECT_TIMEOUT_S = "10";

void ignore_notice(void*, const char*) {}

// '?' parameters become $1, $2...; the station's statements hold no '?'
// inside a literal.
std::string numbered(const std::string& sql) {
    std::string out;
    int n = 0;
    for (char c : sql) {
        if (c == '?')
            out += "$" + std::to_string(++n);
        else
            out += c;
    }
    return out;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

class pg_db : public sql_db {
public:
    explicit pg_db(PGconn* conn) : conn_(conn) {}
    ~pg_db() override { PQfinish(conn_); }

    bool run(const std::string& sql, const std::vector<sql_text>& params, std::vector<sql_row>* rows) override {
        std::vector<const char*> values;
        for (const sql_text& p : params) values.push_back(p ? p->c_str() : nullptr);
        PGresult* res = PQexecParams(conn_, numbered(sql).c_str(), static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(res);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error_ = trimmed(PQresultErrorMessage(res));
            if (error_.empty()) error_ = trimmed(PQerrorMessage(conn_));
            PQclear(res);
            return false;
        }
        if (rows != nullptr) collect(res, rows);
        PQclear(res);
        return true;
    }

    bool begin_write() override { return run("BEGIN", {}, nullptr); }
    const char* lock_rows(bool skip_locked) const override {
        return skip_locked ? " FOR UPDATE SKIP LOCKED" : " FOR UPDATE";
    }
    const char* id_type() const override { return "BIGSERIAL PRIMARY KEY"; }
    bool lock_schema() override {
        return run(std::string("SELECT pg_advisory_xact_lock(") + LOCK_CLASS + ", 0)", {}, nullptr);
    }

    std::string claim_owner(int64_t cycle) override {
        std::vector<sql_row> rows;
        if (!run(std::string("SELECT pg_advisory_lock(") + LOCK_CLASS + ", ?::integer), pg_backend_pid()",
                 {std::to_string(cycle)}, &rows) || rows.empty())
            return std::string();
        return "postgresql session " + rows[0][1].value_or("?");
    }

    // The lock is free exactly when its owner's session has ended.
    bool owner_alive(int64_t cycle, const std::string&) override {
        std::vector<sql_row> rows;
        const std::string key = std::to_string(cycle);
        if (!run(std::string("SELECT pg_try_advisory_lock(") + LOCK_CLASS + ", ?::integer)", {key}, &rows) ||
            rows.empty())
            return true;
        if (rows[0][0].value_or("f") != "t") return true;
        run(std::string("SELECT pg_advisory_unlock(") + LOCK_CLASS + ", ?::integer)", {key}, nullptr);
        return false;
    }

    std::string error() const override { return error_; }

private:
    static void collect(PGresult* res, std::vector<sql_row>* rows) {
        for (int r = 0; r < PQntuples(res); ++r) {
            sql_row row;
            for (int c = 0; c < PQnfields(res); ++c) {
                if (PQgetisnull(res, r, c))
                    row.emplace_back(std::nullopt);
                else
                    row.emplace_back(std::string(PQgetvalue(res, r, c), static_cast<size_t>(PQgetlength(res, r, c))));
            }
            rows->push_back(std::move(row));
        }
    }

    PGconn* conn_;
    std::string error_;
};

}  // namespace

std::unique_ptr<sql_db> pg_connect(const std::string& conninfo, std::string* error) {
    // The connection string's own settings come last and win.
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {CONNECT_TIMEOUT_S, conninfo.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        *error = conn != nullptr ? trimmed(PQerrorMessage(conn)) : "out of memory";
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, ignore_notice, nullptr);
    return std::make_unique<pg_db>(conn);
}
