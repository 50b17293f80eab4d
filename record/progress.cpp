#include "record/progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/timing.h"
#include "platform/platform.h"
#include "record/events.h"
#include "record/run_record.h"

namespace {

const char* const PROGRESS_VARIABLE = "FLINT_PROGRESS";

struct step_state {
    bool active = false;
    const char* step = nullptr;
    bool has_address = false;
    uint32_t address = 0;
    uint64_t total = 0;
    int64_t begin_ms = 0;
    uint64_t sent_done = 0;
    int64_t sent_ms = 0;
    int64_t drawn_ms = 0;
};

step_state current;

// The progress line: for one-shot runs on a terminal, unless FLINT_PROGRESS=0.
bool line_wanted() {
    static int wanted = -1;
    if (wanted < 0) {
        const char* v = std::getenv(PROGRESS_VARIABLE);
        wanted = record_one_shot() && !(v != nullptr && std::strcmp(v, "0") == 0) && plat_progress_start();
    }
    return wanted == 1;
}

void send(uint64_t done) {
    json_ptr e = event_new("progress");
    cJSON_AddNumberToObject(e.get(), "line", record_current_line());
    cJSON_AddStringToObject(e.get(), "step", current.step);
    if (current.has_address)
        json_add_hex(e.get(), "address", current.address);
    else
        cJSON_AddNullToObject(e.get(), "address");
    cJSON_AddNumberToObject(e.get(), "done", static_cast<double>(done));
    cJSON_AddNumberToObject(e.get(), "total", static_cast<double>(current.total));
    event_send(e);
    current.sent_done = done;
    current.sent_ms = steady_ms();
}

// "program 0x802000  16384 / 65536 bytes  25 %  98.3 KiB/s"
void draw(uint64_t done, int64_t now) {
    const double seconds = static_cast<double>(now - current.begin_ms) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / 1024.0 / seconds : 0;
    char address[16] = "";
    if (current.has_address) std::snprintf(address, sizeof address, " 0x%X", current.address);
    char text[160];
    std::snprintf(text, sizeof text, "%s%s  %llu / %llu bytes  %llu %%  %.1f KiB/s", current.step, address,
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(current.total),
                  static_cast<unsigned long long>(current.total ? done * 100 / current.total : 100), rate);
    plat_progress_draw(text);
    current.drawn_ms = now;
}

}  // namespace

void progress_begin(const char* step, const uint32_t* address, uint64_t total) {
    if (!events_on() && !line_wanted()) return;
    current = step_state{true, step, address != nullptr, address != nullptr ? *address : 0, total, steady_ms()};
    if (events_on()) send(0);
}

void progress_at(uint64_t done) {
    if (!current.active || done >= current.total) return;
    const int64_t now = steady_ms();
    if (events_on() && now - current.sent_ms >= PROGRESS_MIN_GAP_MS) send(done);
    if (line_wanted() && now - current.begin_ms >= PROGRESS_LINE_AFTER_MS &&
        now - current.drawn_ms >= PROGRESS_MIN_GAP_MS)
        draw(done, now);
}

void progress_end(bool completed) {
    if (!current.active) return;
    if (events_on() && completed && current.sent_done != current.total) send(current.total);
    if (line_wanted()) plat_progress_clear();
    current.active = false;
}
