// A gang run as the station database sees it: a cycle that begins before any
// child starts (reserving one pool address per port), stores each child's
// run record as the child ends, and ends with the gang.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "gang/gang_options.h"
#include "gang/gang_run.h"
#include "gang/station_options.h"
#include "gang/store/station_store.h"

class station_cycle {
public:
    // Opens the database (--db none: keeps nothing) unless it is open,
    // quarantines what gangs that died left reserved, begins a cycle and,
    // with --pool, gives each port its -x address (in place of the one the
    // previous cycle of this gang gave it). "" or the message of the refusal.
    // A gang that runs cycles in a loop calls begin and end for each.
    std::string begin(const station_options& options, gang_job* job);

    // Stores the child's run; a run the database does not take is appended to
    // `fallback_file` instead, with a warning on standard error.
    void child_ended(const gang_child_end& end);

    void end();

    std::string fallback_file;

    // The open database (nullptr with --db none) and this station's name.
    station_store* store() const { return store_.get(); }
    const std::string& station() const { return station_; }

private:
    void keep_elsewhere(const run_entry& run, const std::string& why);
    void give_addresses(const std::vector<std::string>& addresses, gang_job* job);

    std::unique_ptr<station_store> store_;
    const gang_job* job_ = nullptr;
    std::string station_;
    std::string pool_;
    int64_t cycle_ = 0;
    std::vector<size_t> own_args_;  // where each port's -x from the pool begins
};
