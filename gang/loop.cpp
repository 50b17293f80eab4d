// The cycle loop. The board holds what every slot shows; the follower
// (the gang run's observer) writes it and draws the console table; the
// operator's commands come through one channel from the console and the page.
#include "gang/loop.h"

#include <algorithm>
#include <memory>

#include "gang/board.h"
#include "gang/console_table.h"
#include "gang/operator_input.h"
#include "platform/platform.h"

namespace {

const char* const MSG_PAGE = "flint-gang: status page on http://%s:%d/\n";
const char* const MSG_NEXT = "flint-gang: Enter (or Start on the page) starts cycle %llu, q ends\n";
const char* const MSG_ENDS_AFTER = "flint-gang: the loop ends after this cycle (Ctrl-C again stops every flint now)\n";
const char* const MSG_LOOP_END = "flint-gang: loop ended after %llu cycles\n";

// How often the wait for the operator looks for Ctrl-C.
constexpr uint32_t OPERATOR_TICK_MS = 100;

class follower : public gang_observer {
public:
    follower(station_board& board, operator_channel& channel, bool loop, bool terminal, FILE* out)
        : board_(board), channel_(channel), loop_(loop), table_(terminal, out), out_(out) {}

    void cycle_begins() {
        board_.cycle_started();
        if (loop_) table_.begin(board_.slots());
    }
    void started(size_t slot, const std::string& address) override { board_.slot_started(slot, address); }
    void event_line(size_t slot, const std::string& json_line) override { board_.slot_event(slot, json_line); }
    void record(size_t slot, const std::string& json_line) override { board_.slot_record(slot, json_line); }
    void ended(size_t slot, bool passed, const std::string& result) override {
        board_.slot_ended(slot, passed, result);
        if (loop_) table_.ended(board_.slots(), slot);
    }
    void tick() override {
        if (loop_) table_.redraw(board_.slots());
        take_quit();
    }
    bool stop_on_interrupt() override {
        if (!loop_ || quit_) return true;
        quit_ = true;
        std::fputs(MSG_ENDS_AFTER, out_);
        return false;
    }
    bool draws_console() const override { return loop_; }
    bool quit() const { return quit_; }
    void set_quit() { quit_ = true; }

    void cycle_ends(const station_counters& before) {
        board_.cycle_ended();
        if (loop_) table_.summary(before, board_.counters());
    }

private:
    // A q typed while the cycle runs ends the loop after it; Enter is ignored
    // then (the next cycle starts only once the modules were changed).
    void take_quit() {
        operator_command c;
        while (channel_.take(&c, 0))
            if (c == operator_command::quit) quit_ = true;
    }

    station_board& board_;
    operator_channel& channel_;
    bool loop_;
    console_table table_;
    FILE* out_;
    bool quit_ = false;
};

bool interrupted_now() {
    size_t none = 0;
    return plat_children_wait(nullptr, 0, 1, &none) == PLAT_WAIT_INTERRUPTED;
}

// Waits for the operator's start; false when the loop is to end.
bool wait_for_start(station_board& board, operator_channel& channel, follower& f) {
    channel.set_waiting(true);
    board.set_waiting(true);
    bool start = false;
    for (;;) {
        operator_command c;
        if (channel.take(&c, OPERATOR_TICK_MS)) {
            start = c == operator_command::start;
            break;
        }
        if (interrupted_now()) break;
    }
    channel.set_waiting(false);
    board.set_waiting(false);
    if (!start) f.set_quit();
    return start;
}

std::vector<std::string> ports_of(const gang_job& job) {
    std::vector<std::string> ports;
    for (const gang_port& p : job.ports) ports.push_back(p.port);
    return ports;
}

int exit_code(bool loop, int last, const station_counters& c) {
    if (last < 0) return GANG_REFUSED;
    if (!loop) return last;
    return static_cast<int>(std::min<uint64_t>(c.failed, STATION_FAILED_MAX));
}

}  // namespace

int station_run(const gang_job& job, const loop_options& options, FILE* out, const station_hooks& hooks) {
    station_board board;
    board.set_slots(ports_of(job), options.labels, options.loop);
    operator_channel channel;
    // Ctrl-C becomes an event before any thread starts (each thread inherits that).
    plat_children_init();
    web_handlers handlers{[&channel] { return channel.offer_start(); },
                          [&board](int limit) { return board.recent_json(static_cast<size_t>(limit)); }};
    station_server server(board, handlers);
    if (options.http) {
        const std::string refused = server.start(options.web);
        if (!refused.empty()) return std::fflush(out), std::fputs(refused.c_str(), stderr), GANG_REFUSED;
        std::fprintf(out, MSG_PAGE, options.web.host.c_str(), server.port());
        std::fflush(out);
    }
    if (options.loop) operator_console_start(channel, !options.http);
    follower f(board, channel, options.loop, plat_stdout_is_terminal(), out);
    int last = 0;
    for (;;) {
        const station_counters before = board.counters();
        f.cycle_begins();
        last = hooks.run_cycle(&f);
        f.cycle_ends(before);
        stored_view view;
        if (hooks.stored && hooks.stored(&view)) board.set_stored(std::move(view));
        if (last < 0) break;
        if (!options.loop || f.quit()) break;
        std::fprintf(out, MSG_NEXT, static_cast<unsigned long long>(board.counters().cycles + 1));
        std::fflush(out);
        if (!wait_for_start(board, channel, f)) break;
    }
    if (options.loop) std::fprintf(out, MSG_LOOP_END, static_cast<unsigned long long>(board.counters().cycles));
    server.stop();
    return exit_code(options.loop, last, board.counters());
}
