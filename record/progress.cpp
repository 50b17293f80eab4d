#include "record/progress.h"

#include <string>

#include "record/events.h"
#include "record/run_record.h"

namespace {

constexpr int64_t MIN_GAP_MS = 100;  // at most ten events a second

struct step_state {
    bool active = false;
    const char* step = nullptr;
    bool has_address = false;
    uint32_t address = 0;
    uint64_t total = 0;
    uint64_t sent_done = 0;
    bool sent_any = false;
    int64_t sent_ms = 0;
};

step_state current;

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
    current.sent_any = true;
    current.sent_done = done;
    current.sent_ms = steady_ms();
}

}  // namespace

void progress_begin(const char* step, const uint32_t* address, uint64_t total) {
    if (!events_on()) return;
    current = step_state{true, step, address != nullptr, address != nullptr ? *address : 0, total};
    send(0);
}

void progress_at(uint64_t done) {
    if (!current.active || done >= current.total) return;
    if (steady_ms() - current.sent_ms >= MIN_GAP_MS) send(done);
}

void progress_end(bool completed) {
    if (!current.active) return;
    if (completed && current.sent_done != current.total) send(current.total);
    current.active = false;
}
