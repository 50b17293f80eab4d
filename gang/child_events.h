// A child's live events: flint appends one JSON object per line to the
// events file named by FLINT_EVENTS while it runs (docs/records.md). The
// gang reads the lines appended since its last look, at each redraw tick and
// when the child ends; a line still being written is left for the next look.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What the events read so far say about the child.
struct child_event_state {
    bool started = false;      // run_start seen
    std::string phase;         // of the line running or last run: "detection" or "script"
    int32_t line = -1;         // its number, -1 before the first line
    std::string text;          // its text
    int32_t attempt = 1;       // 1, or the retry under way
    std::string step;          // last progress of that line: "erase", "program", ...; "" for none
    std::string address;       // its address text ("0x802000"), "" when the step has none
    uint64_t done = 0;         // bytes done of total in that step
    uint64_t total = 0;
    bool ended = false;        // run_end seen
    int32_t exit_code = 0;     // from run_end
    std::string verdict;       // "pass" or "fail", from run_end
    std::string failure_class; // from run_end, "" for none
};

class child_events {
public:
    explicit child_events(std::string path) : path_(std::move(path)) {}

    // Reads the whole lines appended since the last call, applies each to
    // state() and returns them (without their line ends). A line that is no
    // JSON object is returned but changes nothing.
    std::vector<std::string> read_new();

    const child_event_state& state() const { return state_; }

    // Percent of the running step (0-100), or -1 when no step is under way.
    int32_t percent() const;

    // A short status for one line of a screen: the running step with its
    // address and percent ("program 0x802000 45%"), else the running line's
    // command word ("loadfw", "detect: connect"), "" before the first line.
    std::string status_text() const;

private:
    void apply(const std::string& line);

    std::string path_;
    uint64_t offset_ = 0;
    std::string partial_;
    child_event_state state_;
};

// The run record a child left (its last whole line), or "" when there is none.
std::string child_record_line(const std::string& path);
