// The station's own options of a gang run (--db, --pool, --station) and of
// the pool and report commands; taken out of the words before flint's
// options are read, so flint never sees them.
#pragma once
#include <string>
#include <vector>

struct station_options {
    std::string db_url;    // --db; the default database when not given
    std::string pool;      // --pool: the addresses come from this pool
    std::string station;   // --station; the host name when not given
    std::string since;     // --since (report)
    bool csv = false;      // --csv (report)
};

// The options a command takes besides --db (--pool, --station...).
enum station_option_set : unsigned {
    OPT_DB = 1, OPT_POOL = 2, OPT_STATION = 4, OPT_SINCE = 8, OPT_CSV = 16,
};

// Removes the options of `allowed` (as "--db URL" or "--db=URL") from
// *words into *out; "" or the message of the refusal.
std::string station_take_options(std::vector<std::string>* words, unsigned allowed, station_options* out);
