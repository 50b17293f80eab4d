// Running a gang. Children start one after the other without waiting, then
// the gang waits for whichever ends first, redrawing the status lines on a
// terminal (or printing one line per port as it ends). Ctrl-C (or SIGTERM,
// or a closed terminal or console) stops every child that still runs; the
// summary is printed in every case.
#include "gang/gang_run.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "common/trace_variable.h"
#include "gang/child_events.h"
#include "platform/platform.h"

namespace {

const char* const STATE_RUNNING = "running";
const char* const STATE_PASSED = "passed";
const char* const STATE_STOPPED = "stopped";
const char* const STATE_NOT_STARTED = "not started";
const char* const STATE_LOG_LOST = "log lost";
const char* const LOG_SUFFIX = ".log";
const char* const TRACE_SUFFIX = ".trace";
const char* const TEMP_PREFIX = "flint-gang-";
const char* const RECORD_VARIABLE = "FLINT_RECORD";
// Each child writes its live events into its temporary folder too.
const char* const EVENTS_VARIABLE = "FLINT_EVENTS";
const char* const EVENTS_FILE = "events.jsonl";

const char* const MSG_CANNOT_START = "flint-gang: %s: cannot start %s\n";
const char* const MSG_INTERRUPTED = "flint-gang: interrupted, every flint still running was stopped\n";
const char* const MSG_TOTALS = "flint-gang: %zu modules, %zu passed, %zu failed\n";
const char* const MSG_LOG_LOST = "flint-gang: %s: its log %s is not whole (%s): the module counts as failed\n";
const char* const SUMMARY_HEAD = "\n%-*s  %-11s %8s  %s\n";
const char* const SUMMARY_ROW = "%-*s  %-11s %8.1f  %s\n";

// After Ctrl-C: how long the children get to end before they are ended by force.
constexpr uint32_t STOP_GRACE_MS = 3000;
constexpr uint32_t FORCED_STOP_MS = 5000;
// Without a terminal there is nothing to redraw: the wait only wakes for an ending child.
constexpr uint32_t QUIET_WAIT_MS = 60000;

using clock_type = std::chrono::steady_clock;

}  // namespace

const char* const GANG_RECORD_FILE = "record.jsonl";

namespace {

struct member {
    const gang_port* port;
    size_t index = 0;                             // position in -c
    const gang_settings* settings = nullptr;
    plat_child_handle child = nullptr;
    std::string log;
    std::string temp_dir;
    clock_type::time_point start;
    double seconds = 0;
    bool running = false;
    bool started = false;
    bool stopped = false;  // stopped by the gang after Ctrl-C
    plat_child_status status{};
    std::unique_ptr<child_events> events;  // null without a temporary folder
};

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    if (last == '/' || last == '\\') return folder + name;
    return folder + plat_path_separator() + name;
}

// A module without its whole log cannot be traced: it has not passed.
bool log_lost(const member& m) { return m.started && !m.running && !m.status.output_error.empty(); }

// The result column: the exit code, or how the child ended otherwise.
std::string result_text(const member& m) {
    if (!m.started) return STATE_NOT_STARTED;
    if (m.stopped) return STATE_STOPPED;
    if (!m.status.exited) return "signal " + std::to_string(m.status.signal);
    if (m.status.code == 0 && log_lost(m)) return STATE_LOG_LOST;
    return std::to_string(m.status.code);
}

bool passed(const member& m) {
    return m.started && !m.stopped && m.status.exited && m.status.code == 0 && !log_lost(m);
}

std::string state_text(const member& m) {
    if (m.running) {
        const std::string step = m.events ? m.events->status_text() : std::string();
        return step.empty() ? STATE_RUNNING : step;
    }
    if (passed(m)) return STATE_PASSED;
    if (!m.started || m.stopped || !m.status.exited || m.status.code == 0) return "failed (" + result_text(m) + ")";
    return "failed (exit " + result_text(m) + ")";
}

double seconds_of(const member& m) {
    if (!m.running) return m.seconds;
    return std::chrono::duration<double>(clock_type::now() - m.start).count();
}

class display {
public:
    display(std::vector<member>& members, bool terminal, FILE* out, gang_observer* observer)
        : members_(members), quiet_(observer != nullptr && observer->draws_console()), terminal_(terminal && !quiet_),
          out_(out), observer_(observer) {
        for (const member& m : members_) width_ = std::max(width_, m.port->port.size());
    }

    void begin() {
        for (size_t i = 0; observer_ != nullptr && i < members_.size(); ++i)
            if (members_[i].started) observer_->started(i, members_[i].port->address);
        if (!terminal_) return;
        for (size_t i = 0; i < members_.size(); ++i) std::fputs("\n", out_);
        drawn_ = true;
        redraw();
    }

    void redraw() {
        if (observer_ != nullptr) observer_->tick();
        if (!terminal_ || !drawn_) return;
        std::fprintf(out_, "\033[%zuA", members_.size());
        for (const member& m : members_) std::fprintf(out_, "\r\033[K%s\n", line(m).c_str());
        std::fflush(out_);
    }

    void ended(const member& m) {
        if (observer_ != nullptr) observer_->ended(static_cast<size_t>(&m - &members_[0]), passed(m), result_text(m));
        if (quiet_) return;
        if (terminal_) {
            redraw();
        } else {
            std::fprintf(out_, "%s\n", line(m).c_str());
            std::fflush(out_);
        }
    }

    std::string line(const member& m) const {
        char text[512];
        std::snprintf(text, sizeof text, "%-*s  %-20s %8.1f s", static_cast<int>(width_), m.port->port.c_str(),
                      state_text(m).c_str(), seconds_of(m));
        return text;
    }

    size_t width() const { return width_; }
    bool quiet() const { return quiet_; }

private:
    std::vector<member>& members_;
    bool quiet_;  // the observer draws the console
    bool terminal_;
    FILE* out_;
    gang_observer* observer_;
    size_t width_ = 4;
    bool drawn_ = false;
};

void remove_temp_dir(const member& m) {
    std::error_code ignored;
    if (!m.temp_dir.empty()) std::filesystem::remove_all(m.temp_dir, ignored);
}

// The child's new event lines: read at each redraw and, before its
// temporary folder goes, when it has ended.
void read_child_events(member& m) {
    if (!m.events) return;
    gang_observer* observer = m.settings->observer;
    for (const std::string& line : m.events->read_new())
        if (observer != nullptr) observer->event_line(m.index, line);
}

// Tells settings.child_ended of a child that ended or could not start.
void tell_ended(const member& m, const std::string& start_error) {
    if (!m.settings->child_ended) return;
    gang_child_end end;
    end.index = m.index;
    end.temp_dir = m.temp_dir;
    end.start_error = start_error;
    end.started = m.started;
    end.stopped = m.stopped;
    end.status = m.status;
    end.seconds = m.seconds;
    m.settings->child_ended(end);
}

// Hands the child's run record to the observer.
void tell_record(const member& m) {
    gang_observer* observer = m.settings->observer;
    if (observer == nullptr || m.temp_dir.empty()) return;
    observer->record(m.index, child_record_line(join(m.temp_dir, GANG_RECORD_FILE)));
}

void collect(member& m) {
    plat_child_status_of(m.child, &m.status);
    m.seconds = std::chrono::duration<double>(clock_type::now() - m.start).count();
    m.running = false;
    plat_child_release(m.child);
    m.child = nullptr;
    read_child_events(m);
}

// Collects the child that ended at `index`. Whoever watches hears of it
// (its record, then its verdict) before it is stored: a station database
// may take its time to commit, the operator should not wait for it.
void collect_ended(std::vector<member>& members, std::vector<plat_child_handle>& handles, size_t index,
                   display& shown) {
    member& m = members[index];
    collect(m);
    handles[index] = nullptr;
    tell_record(m);
    shown.ended(m);
    tell_ended(m, "");
    remove_temp_dir(m);
}

size_t running_count(const std::vector<member>& members) {
    size_t n = 0;
    for (const member& m : members) n += m.running ? 1 : 0;
    return n;
}

// Waits up to `ms` for the running children to end; those that end are collected.
void wait_for_all(std::vector<member>& members, std::vector<plat_child_handle>& handles, uint32_t ms,
                  display& shown) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
    while (running_count(members) > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        if (left <= 0) return;
        size_t ended = 0;
        if (plat_children_wait(handles.data(), handles.size(), static_cast<uint32_t>(left), &ended) == PLAT_WAIT_ENDED)
            collect_ended(members, handles, ended, shown);
    }
}

// Starts one port's flint; false (after a message) when it cannot start.
bool start_member(member& m, size_t index, const gang_settings& settings, FILE* out) {
    m.log = join(settings.logs_dir, m.port->log_name + LOG_SUFFIX);
    plat_child_launch launch;
    launch.program = settings.flint;
    launch.args.push_back(settings.flint);
    launch.args.insert(launch.args.end(), m.port->args.begin(), m.port->args.end());
    launch.output_path = m.log;
    if (!settings.trace_dir.empty())
        launch.env.emplace_back(TRACE_VARIABLE, join(settings.trace_dir, m.port->log_name + TRACE_SUFFIX));
    // A temporary folder of its own (a packed image is unpacked there).
    m.temp_dir = settings.temp_base + TEMP_PREFIX + std::to_string(plat_process_id()) + "-" + std::to_string(index);
    if (plat_make_dir(m.temp_dir.c_str()) == 0) {
        launch.temp_dir = m.temp_dir + plat_path_separator();
        launch.env.emplace_back(RECORD_VARIABLE, join(m.temp_dir, GANG_RECORD_FILE));
        launch.env.emplace_back(EVENTS_VARIABLE, join(m.temp_dir, EVENTS_FILE));
        m.events = std::make_unique<child_events>(join(m.temp_dir, EVENTS_FILE));
    } else {
        m.temp_dir.clear();
    }
    std::string error;
    m.start = clock_type::now();
    m.child = plat_child_start(launch, &error);
    if (m.child != nullptr) return true;
    std::fflush(out);
    std::fprintf(stderr, MSG_CANNOT_START, m.port->port.c_str(), error.c_str());
    tell_ended(m, error);
    remove_temp_dir(m);
    return false;
}

void start_all(std::vector<member>& members, std::vector<plat_child_handle>& handles, const gang_settings& settings,
               FILE* out) {
    for (size_t i = 0; i < members.size(); ++i) {
        member& m = members[i];
        if (!start_member(m, i, settings, out)) continue;
        m.started = true;
        m.running = true;
        handles[i] = m.child;
    }
}

// Waits for the children until all have ended (true) or Ctrl-C (false).
bool watch(std::vector<member>& members, std::vector<plat_child_handle>& handles, const gang_settings& settings,
           display& shown) {
    const uint32_t timeout = settings.terminal || settings.observer ? settings.redraw_ms : QUIET_WAIT_MS;
    while (running_count(members) > 0) {
        size_t ended = 0;
        const plat_wait_result r = plat_children_wait(handles.data(), handles.size(), timeout, &ended);
        if (r == PLAT_WAIT_INTERRUPTED && (settings.observer == nullptr || settings.observer->stop_on_interrupt()))
            return false;
        if (r == PLAT_WAIT_ENDED) {
            collect_ended(members, handles, ended, shown);
            continue;
        }
        for (member& m : members)
            if (m.running) read_child_events(m);
        shown.redraw();
    }
    return true;
}

// After Ctrl-C: asks every running child to stop, then ends the rest by force.
void stop_all(std::vector<member>& members, std::vector<plat_child_handle>& handles, display& shown) {
    for (member& m : members) {
        if (!m.running) continue;
        m.stopped = true;
        plat_child_stop(m.child, false);
    }
    wait_for_all(members, handles, STOP_GRACE_MS, shown);
    for (member& m : members)
        if (m.running) plat_child_stop(m.child, true);
    wait_for_all(members, handles, FORCED_STOP_MS, shown);
}

// Prints the summary table and totals; the number of modules that failed.
// Where the loop shows the cycle: the number of modules that failed.
size_t failed_count(const std::vector<member>& members, bool interrupted, FILE* out) {
    if (interrupted) std::fputs(MSG_INTERRUPTED, out);
    return static_cast<size_t>(std::count_if(members.begin(), members.end(), [](const member& m) { return !passed(m); }));
}

size_t print_summary(const std::vector<member>& members, size_t width, bool interrupted, FILE* out) {
    size_t failed = 0;
    const int w = static_cast<int>(width);
    std::fprintf(out, SUMMARY_HEAD, w, "port", "result", "seconds", "log");
    for (const member& m : members) {
        if (!passed(m)) ++failed;
        std::fprintf(out, SUMMARY_ROW, w, m.port->port.c_str(), result_text(m).c_str(), m.seconds, m.log.c_str());
    }
    for (const member& m : members)
        if (log_lost(m))
            std::fprintf(out, MSG_LOG_LOST, m.port->port.c_str(), m.log.c_str(), m.status.output_error.c_str());
    if (interrupted) std::fputs(MSG_INTERRUPTED, out);
    std::fprintf(out, MSG_TOTALS, members.size(), members.size() - failed, failed);
    std::fflush(out);
    return failed;
}

}  // namespace

int gang_run(const gang_job& job, const gang_settings& settings, FILE* out) {
    std::vector<member> members(job.ports.size());
    std::vector<plat_child_handle> handles(job.ports.size(), nullptr);
    plat_children_init();
    for (size_t i = 0; i < job.ports.size(); ++i) {
        members[i].port = &job.ports[i];
        members[i].index = i;
        members[i].settings = &settings;
    }
    display shown(members, settings.terminal, out, settings.observer);
    start_all(members, handles, settings, out);
    for (const member& m : members)
        if (!m.started) shown.ended(m);
    shown.begin();
    const bool interrupted = !watch(members, handles, settings, shown);
    if (interrupted) stop_all(members, handles, shown);
    if (shown.quiet()) return static_cast<int>(failed_count(members, interrupted, out));
    return static_cast<int>(print_summary(members, shown.width(), interrupted, out));
}
