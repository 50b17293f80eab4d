#include "record/events.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

const char* const EVENTS_VARIABLE = "FLINT_EVENTS";
const char* const DESCRIPTOR_PREFIX = "fd:";

plat_sink* events_sink = nullptr;

// "fd:N": the descriptor N, whole digits only; else -1.
long descriptor_of(const char* target) {
    const size_t prefix = std::strlen(DESCRIPTOR_PREFIX);
    if (std::strncmp(target, DESCRIPTOR_PREFIX, prefix) != 0 || target[prefix] == '\0') return -1;
    char* end = nullptr;
    const long n = std::strtol(target + prefix, &end, 10);
    return *end == '\0' ? n : -1;
}

}  // namespace

void events_open() {
    const char* target = std::getenv(EVENTS_VARIABLE);
    if (target == nullptr || *target == '\0') return;
    const long fd = descriptor_of(target);
    events_sink = fd >= 0 ? plat_sink_inherited(fd) : plat_sink_open(target);
}

void events_close() {
    plat_sink_close(events_sink);
    events_sink = nullptr;
}

bool events_on() { return events_sink != nullptr; }

json_ptr event_new(const char* kind) {
    json_ptr e(cJSON_CreateObject());
    cJSON_AddStringToObject(e.get(), "event", kind);
    cJSON_AddStringToObject(e.get(), "t", record_time_text(record_now_ms()).c_str());
    return e;
}

void event_send(const json_ptr& e) {
    if (events_sink != nullptr && e) json_write_line(events_sink, e.get());
}
