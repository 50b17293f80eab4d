// The loop's console: one line per slot (number, label, port, state, step
// and percentage or the failing line and class, address, seconds), redrawn
// in place on a terminal, else printed once per slot as it ends.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "gang/board.h"

class console_table {
public:
    console_table(bool terminal, FILE* out) : terminal_(terminal), out_(out) {}
    void begin(const std::vector<slot_state>& slots);
    void redraw(const std::vector<slot_state>& slots);
    void ended(const std::vector<slot_state>& slots, size_t slot);
    // The summary line of a cycle and of the loop so far.
    void summary(const station_counters& before, const station_counters& now);

private:
    std::string line(const slot_state& s) const;
    bool terminal_;
    FILE* out_;
    size_t drawn_ = 0;      // lines drawn by begin() (0: not drawn)
    size_t label_width_ = 0;
    size_t port_width_ = 4;
};

// What a slot's line says beside its state.
std::string console_detail(const slot_state& s);
