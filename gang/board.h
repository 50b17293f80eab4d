// The station's board: what each slot shows (idle; running with its line,
// step and progress; passed; failed with the failing line, class and
// message), the loop's counters, and the stream of the children's events
// with their slot. The gang writes it as children start, report and end; the
// console table and the status page read it from other threads.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// A slot's states, as the page and /api/status name them.
extern const char* const SLOT_IDLE;
extern const char* const SLOT_RUNNING;
extern const char* const SLOT_PASSED;
extern const char* const SLOT_FAILED;

using board_clock = std::chrono::steady_clock;

struct slot_state {
    size_t number = 0;          // 1-based position in -c
    std::string label;          // --labels ("" when none)
    std::string port;
    std::string state = SLOT_IDLE;
    std::string line_text;      // the script line that runs
    std::string step;           // erase, program, verify, read, loader ("" between steps)
    uint64_t done = 0;          // the step's bytes done of total
    uint64_t total = 0;
    std::string result;         // how the child ended ("0", "1", "stopped", "signal 9")
    std::string address;        // the device address written (or given)
    std::string failure_class;  // the failure's class, line number, text and message
    int64_t failure_line = -1;  // -1: none
    std::string failure_text;
    std::string failure_message;
    double seconds = 0;
    board_clock::time_point start;
};

// The loop's figures over every cycle so far.
struct station_counters {
    uint64_t cycles = 0;
    uint64_t runs = 0;        // module runs
    uint64_t modules = 0;     // modules (in a loop: one per run)
    uint64_t passed = 0;
    uint64_t failed = 0;
    uint64_t first_pass = 0;  // modules whose first run passed
    double seconds = 0;       // from the first cycle's start to the last one's end
};

// What the station database says of this station, for the page: its report's
// counters and its latest runs (JSON objects, newest first).
struct stored_view {
    station_counters counters;
    double per_hour = 0;
    std::vector<std::string> records;
};

// The most events kept for the page's event streams; a stream that falls
// further behind is told to read the status again.
constexpr size_t BOARD_EVENTS_KEPT = 4096;
// The most records kept for the page (the newest).
constexpr size_t BOARD_RECORDS_KEPT = 100;

class station_board {
public:
    void set_slots(const std::vector<std::string>& ports, const std::vector<std::string>& labels, bool loop);

    // The gang's side.
    void cycle_started();
    void slot_started(size_t slot, const std::string& address);  // the address handed to it ("" for none)
    void slot_event(size_t slot, const std::string& json_line);  // one line of the child's events
    void slot_record(size_t slot, const std::string& json_line);  // the child's run record
    void slot_ended(size_t slot, bool passed, const std::string& result);
    void cycle_ended();
    void set_waiting(bool waiting);  // the loop waits for the operator's start
    void set_stored(stored_view view);  // the page's counters and records from then on

    // The readers' side: copies taken under the lock.
    std::vector<slot_state> slots() const;
    station_counters counters() const;
    bool loop() const;
    bool waiting() const;
    std::string status_json() const;
    // The newest `limit` of the slots' ends as a JSON array, newest first:
    // cycle, slot, label, port, verdict, exit, end, duration_ms, address, failure.
    std::string recent_json(size_t limit) const;
    // Events from sequence number *next on (the oldest kept when *next is
    // older), waiting up to timeout_ms for one; *next moves past those
    // returned. A stream that lost events gets {"event":"resync"} first.
    std::vector<std::string> events_after(uint64_t* next, uint32_t timeout_ms);
    uint64_t event_end() const;  // the sequence number the next event gets
    void close_events();         // wakes every waiting stream for good
    bool events_closed() const;

private:
    void publish(const std::string& json);  // with the lock held
    double seconds_of(const slot_state& s) const;

    mutable std::mutex lock_;
    std::condition_variable events_changed_;
    std::vector<slot_state> slots_;
    station_counters counters_;
    board_clock::time_point first_start_;
    board_clock::time_point cycle_start_;
    bool loop_ = false;
    bool waiting_ = false;
    bool running_ = false;
    bool closed_ = false;
    std::deque<std::string> events_;
    std::deque<std::string> records_;  // newest first
    bool stored_ = false;               // the page shows stored_view_ instead
    stored_view stored_view_;
    uint64_t first_event_ = 0;  // sequence number of events_.front()
};

// First-pass yield in percent (of the modules; 0 with none yet) and modules
// per hour over the loop's time.
double board_yield_percent(const station_counters& c);
double board_modules_per_hour(const station_counters& c);
