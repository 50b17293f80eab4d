// What a gang run tells whoever follows it (the cycle loop, the status
// page): each child's start, its events and record, its end, the redraw
// tick, and the console interrupt.
#pragma once
#include <cstddef>
#include <string>

class gang_observer {
public:
    virtual ~gang_observer() = default;
    virtual void started(size_t slot, const std::string& address) = 0;  // the -x address handed to it
    virtual void event_line(size_t slot, const std::string& json_line) = 0;
    virtual void record(size_t slot, const std::string& json_line) = 0;
    // `result` as the summary shows it ("0", "1", "stopped", "signal 9").
    virtual void ended(size_t slot, bool passed, const std::string& result) = 0;
    virtual void tick() = 0;
    // Ctrl-C arrived: true stops the children now, false lets them finish.
    virtual bool stop_on_interrupt() = 0;
    // True when the follower draws the console itself (the run prints nothing).
    virtual bool draws_console() const = 0;
};
