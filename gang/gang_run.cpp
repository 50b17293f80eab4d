// Running a gang. Children start one after the other without waiting, then
// the gang waits for whichever ends first, redrawing the status lines on a
// terminal (or printing one line per port as it ends). Ctrl-C stops every
// child that still runs; the summary is printed in every case.
#include "gang/gang_run.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "platform/platform.h"

namespace {

const char* const STATE_RUNNING = "running";
const char* const STATE_PASSED = "passed";
const char* const STATE_STOPPED = "stopped";
const char* const STATE_NOT_STARTED = "not started";
const char* const TRACE_VARIABLE = "FLINT_TRACE";
const char* const LOG_SUFFIX = ".log";
const char* const TRACE_SUFFIX = ".trace";
const char* const TEMP_PREFIX = "flint-gang-";

// After Ctrl-C: how long the children get to end before they are ended by force.
constexpr uint32_t STOP_GRACE_MS = 3000;
constexpr uint32_t FORCED_STOP_MS = 5000;

using clock_type = std::chrono::steady_clock;

struct member {
    const gang_port* port;
    plat_child_handle child = nullptr;
    std::string log;
    std::string temp_dir;
    clock_type::time_point start;
    double seconds = 0;
    bool running = false;
    bool started = false;
    bool stopped = false;  // stopped by the gang after Ctrl-C
    plat_child_status status{};
};

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    if (last == '/' || last == '\\') return folder + name;
    return folder + plat_path_separator() + name;
}

// The result column: the exit code, or how the child ended otherwise.
std::string result_text(const member& m) {
    if (!m.started) return STATE_NOT_STARTED;
    if (m.stopped) return STATE_STOPPED;
    if (!m.status.exited) return "signal " + std::to_string(m.status.signal);
    return std::to_string(m.status.code);
}

bool passed(const member& m) { return m.started && !m.stopped && m.status.exited && m.status.code == 0; }

std::string state_text(const member& m) {
    if (m.running) return STATE_RUNNING;
    if (passed(m)) return STATE_PASSED;
    if (!m.started || m.stopped || !m.status.exited) return "failed (" + result_text(m) + ")";
    return "failed (exit " + result_text(m) + ")";
}

double seconds_of(const member& m) {
    if (!m.running) return m.seconds;
    return std::chrono::duration<double>(clock_type::now() - m.start).count();
}

class display {
public:
    display(std::vector<member>& members, bool terminal, FILE* out, gang_observer* observer)
        : members_(members), terminal_(terminal && (observer == nullptr || !observer->draws_console())), out_(out),
          observer_(observer), quiet_(observer != nullptr && observer->draws_console()) {
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
    bool terminal_;
    FILE* out_;
    size_t width_ = 4;
    bool drawn_ = false;
    gang_observer* observer_;
    bool quiet_;  // the observer draws the console
};

void collect(member& m) {
    plat_child_status_of(m.child, &m.status);
    m.seconds = std::chrono::duration<double>(clock_type::now() - m.start).count();
    m.running = false;
    plat_child_release(m.child);
    m.child = nullptr;
    std::error_code ignored;
    if (!m.temp_dir.empty()) std::filesystem::remove_all(m.temp_dir, ignored);
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
        if (plat_children_wait(handles.data(), handles.size(), static_cast<uint32_t>(left), &ended) == PLAT_WAIT_ENDED) {
            collect(members[ended]);
            handles[ended] = nullptr;
            shown.ended(members[ended]);
        }
    }
}

}  // namespace

int gang_run(const gang_job& job, const gang_settings& settings, FILE* out) {
    std::vector<member> members(job.ports.size());
    std::vector<plat_child_handle> handles(job.ports.size(), nullptr);
    plat_children_init();
    for (size_t i = 0; i < job.ports.size(); ++i) members[i].port = &job.ports[i];
    display shown(members, settings.terminal, out, settings.observer);

    for (size_t i = 0; i < job.ports.size(); ++i) {
        member& m = members[i];
        m.log = join(settings.logs_dir, m.port->log_name + LOG_SUFFIX);
        plat_child_launch launch;
        launch.program = settings.flint;
        launch.args.push_back(settings.flint);
        launch.args.insert(launch.args.end(), m.port->args.begin(), m.port->args.end());
        launch.output_path = m.log;
        if (!settings.trace_dir.empty())
            launch.env.emplace_back(TRACE_VARIABLE, join(settings.trace_dir, m.port->log_name + TRACE_SUFFIX));
        // A temporary folder of its own (a packed image is unpacked there).
        m.temp_dir = settings.temp_base + TEMP_PREFIX + std::to_string(plat_process_id()) + "-" + std::to_string(i);
        if (plat_make_dir(m.temp_dir.c_str()) == 0)
            launch.temp_dir = m.temp_dir + plat_path_separator();
        else
            m.temp_dir.clear();
        std::string error;
        m.start = clock_type::now();
        m.child = plat_child_start(launch, &error);
        if (m.child == nullptr) {
            std::fflush(out);
            std::fprintf(stderr, "flint-gang: %s: cannot start %s\n", m.port->port.c_str(), error.c_str());
            if (!m.temp_dir.empty()) {
                std::error_code ignored;
                std::filesystem::remove_all(m.temp_dir, ignored);
            }
            continue;
        }
        m.started = true;
        m.running = true;
        handles[i] = m.child;
    }
    for (const member& m : members)
        if (!m.started) shown.ended(m);
    shown.begin();

    bool interrupted = false;
    while (running_count(members) > 0) {
        size_t ended = 0;
        const uint32_t timeout = settings.terminal || settings.observer ? settings.redraw_ms : 60000;
        const plat_wait_result r = plat_children_wait(handles.data(), handles.size(), timeout, &ended);
        if (r == PLAT_WAIT_ENDED) {
            collect(members[ended]);
            handles[ended] = nullptr;
            shown.ended(members[ended]);
        } else if (r == PLAT_WAIT_INTERRUPTED) {
            if (settings.observer != nullptr && !settings.observer->stop_on_interrupt()) continue;
            interrupted = true;
            break;
        } else {
            shown.redraw();
        }
    }
    if (interrupted) {
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

    // The summary (the loop shows its own).
    size_t failed = 0;
    for (const member& m : members) failed += passed(m) ? 0 : 1;
    if (shown.quiet()) return static_cast<int>(failed);
    const int width = static_cast<int>(shown.width());
    std::fprintf(out, "\n%-*s  %-11s %8s  %s\n", width, "port", "result", "seconds", "log");
    for (const member& m : members) {
        std::fprintf(out, "%-*s  %-11s %8.1f  %s\n", width, m.port->port.c_str(), result_text(m).c_str(), m.seconds,
                     m.log.c_str());
    }
    if (interrupted) std::fprintf(out, "flint-gang: interrupted, every flint still running was stopped\n");
    std::fprintf(out, "flint-gang: %zu modules, %zu passed, %zu failed\n", members.size(), members.size() - failed,
                 failed);
    std::fflush(out);
    return static_cast<int>(failed);
}
