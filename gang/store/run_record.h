// A child's run record (the line flint appends to FLINT_RECORD when its run
// ends) turned into the run the station stores: the whole record, its indexed
// fields, and what becomes of the run's reserved device address.
#pragma once
#include <cstdint>
#include <string>

#include "gang/store/station_store.h"

// What the gang itself knows of a child that has ended.
struct child_outcome {
    std::string port;
    int slot = 0;
    std::string start;         // UTC text of the child's start
    int64_t duration_ms = 0;
    bool started = false;      // false: it could not be started
    std::string start_error;   // why, when it could not
    bool exited = false;       // false: ended by a signal (or by force)
    int code = 0;              // the exit code, when exited
    int signal = 0;
    std::string address;       // the -x address it was given ("" for none)
};

// `record_text`: the record file's contents ("" when there is none). A record
// that is missing or not whole (the child was killed) gives a run with
// verdict "fail", class "internal" and what the gang knows.
run_entry run_entry_of(const std::string& record_text, const child_outcome& child);
