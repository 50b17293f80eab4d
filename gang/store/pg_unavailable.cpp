// Builds without a PostgreSQL client (the Windows build): a PostgreSQL
// connection string is refused with the reason.
#include "gang/store/sql_db.h"

std::unique_ptr<sql_db> pg_connect(const std::string&, std::string* error) {
    *error = "this build of flint-gang has no PostgreSQL client (libpq); use an SQLite file (sqlite:PATH) "
             "or the Linux build for a line's shared database";
    return nullptr;
}
