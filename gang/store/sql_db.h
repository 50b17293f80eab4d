// One connection to the station database, as the station store uses it: a
// statement with '?' parameters in, rows of texts out. A file per database
// implements it (sqlite_store.cpp, pg_store.cpp); the station's logic and its
// SQL stand once, in station_store.cpp.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using sql_text = std::optional<std::string>;  // nullopt is SQL NULL
using sql_row = std::vector<sql_text>;

class sql_db {
public:
    virtual ~sql_db() = default;

    // Runs one statement; its rows (if any) into *rows. false: error() says why.
    virtual bool run(const std::string& sql, const std::vector<sql_text>& params, std::vector<sql_row>* rows) = 0;

    // Opens a write transaction that holds its write lock from the start
    // (SQLite: BEGIN IMMEDIATE; PostgreSQL: BEGIN, the rows are locked as read).
    virtual bool begin_write() = 0;

    // The clause that locks the rows a SELECT reads until the transaction
    // ends, waiting for them or, with `skip_locked`, passing over the rows
    // another transaction holds (PostgreSQL; SQLite's write transaction holds
    // the whole file already: "").
    virtual const char* lock_rows(bool skip_locked) const = 0;

    // The column type of a generated row number.
    virtual const char* id_type() const = 0;

    // Serialises the creation and upgrade of the schema among stations that
    // open the database at once, until the transaction ends.
    virtual bool lock_schema() = 0;

    // Marks this connection as the owner of cycle `cycle` for as long as it
    // lives; the text it returns (stored with the cycle) lets owner_alive tell,
    // from any station, whether that owner still runs.
    virtual std::string claim_owner(int64_t cycle) = 0;
    virtual bool owner_alive(int64_t cycle, const std::string& owner) = 0;

    virtual std::string error() const = 0;
};

// Opens an SQLite file (made when missing); nullptr and the reason otherwise.
std::unique_ptr<sql_db> sqlite_connect(const std::string& path, std::string* error);

// Connects to a PostgreSQL server by a connection string; nullptr and the
// reason otherwise (also where this build has no PostgreSQL client).
std::unique_ptr<sql_db> pg_connect(const std::string& conninfo, std::string* error);
