// The station's board: slot states, counters and the event stream, behind
// one lock. JSON in and out goes through cJSON.
#include "gang/board.h"

#include "gang/store/json_text.h"
#include "gang/store/utc_time.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdio>
#include <memory>

const char* const SLOT_IDLE = "idle";
const char* const SLOT_RUNNING = "running";
const char* const SLOT_PASSED = "passed";
const char* const SLOT_FAILED = "failed";

namespace {

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

json_ptr parse(const std::string& text) { return json_ptr(cJSON_Parse(text.c_str()), cJSON_Delete); }
json_ptr object() { return json_ptr(cJSON_CreateObject(), cJSON_Delete); }

std::string text_of(const cJSON* json, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

double number_of(const cJSON* json, const char* name, double otherwise) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
    return cJSON_IsNumber(item) ? item->valuedouble : otherwise;
}

// A child's event as the board follows it.
void follow_event(slot_state& s, const cJSON* event) {
    const std::string kind = text_of(event, "event");
    if (kind == "line_start") {
        s.line_text = text_of(event, "text");
        s.step.clear();
        s.done = s.total = 0;
    } else if (kind == "progress") {
        s.step = text_of(event, "step");
        s.done = static_cast<uint64_t>(number_of(event, "done", 0));
        s.total = static_cast<uint64_t>(number_of(event, "total", 0));
    }
}

void add_slot_fields(cJSON* out, const slot_state& s, double seconds) {
    cJSON_AddNumberToObject(out, "slot", static_cast<double>(s.number));
    cJSON_AddStringToObject(out, "label", s.label.c_str());
    cJSON_AddStringToObject(out, "port", s.port.c_str());
    cJSON_AddStringToObject(out, "state", s.state.c_str());
    cJSON_AddStringToObject(out, "line", s.line_text.c_str());
    cJSON_AddStringToObject(out, "step", s.step.c_str());
    cJSON_AddNumberToObject(out, "done", static_cast<double>(s.done));
    cJSON_AddNumberToObject(out, "total", static_cast<double>(s.total));
    cJSON_AddStringToObject(out, "result", s.result.c_str());
    cJSON_AddStringToObject(out, "address", s.address.c_str());
    cJSON_AddNumberToObject(out, "seconds", seconds);
}

void add_failure(cJSON* out, const slot_state& s) {
    if (s.failure_class.empty()) {
        cJSON_AddNullToObject(out, "failure");
        return;
    }
    cJSON* f = cJSON_AddObjectToObject(out, "failure");
    cJSON_AddStringToObject(f, "class", s.failure_class.c_str());
    if (s.failure_line >= 0)
        cJSON_AddNumberToObject(f, "line", static_cast<double>(s.failure_line));
    else
        cJSON_AddNullToObject(f, "line");
    cJSON_AddStringToObject(f, "text", s.failure_text.c_str());
    cJSON_AddStringToObject(f, "message", s.failure_message.c_str());
}

void add_counters(cJSON* out, const char* name, const station_counters& c, double per_hour) {
    cJSON* k = cJSON_AddObjectToObject(out, name);
    cJSON_AddNumberToObject(k, "cycles", static_cast<double>(c.cycles));
    cJSON_AddNumberToObject(k, "runs", static_cast<double>(c.runs));
    cJSON_AddNumberToObject(k, "modules", static_cast<double>(c.modules));
    cJSON_AddNumberToObject(k, "passed", static_cast<double>(c.passed));
    cJSON_AddNumberToObject(k, "failed", static_cast<double>(c.failed));
    cJSON_AddNumberToObject(k, "first_pass_yield", board_yield_percent(c));
    cJSON_AddNumberToObject(k, "modules_per_hour", per_hour);
}

std::string gang_event(const char* kind, const char* field, double value) {
    json_ptr e = object();
    cJSON_AddStringToObject(e.get(), "event", kind);
    if (field != nullptr) cJSON_AddNumberToObject(e.get(), field, value);
    return json_text(e.get());
}

// A slot's end as the page's record list shows it.
std::string end_record(const slot_state& s, uint64_t cycle) {
    json_ptr r = object();
    cJSON_AddNumberToObject(r.get(), "cycle", static_cast<double>(cycle));
    cJSON_AddNumberToObject(r.get(), "slot", static_cast<double>(s.number));
    cJSON_AddStringToObject(r.get(), "label", s.label.c_str());
    cJSON_AddStringToObject(r.get(), "port", s.port.c_str());
    cJSON_AddStringToObject(r.get(), "verdict", s.state == SLOT_PASSED ? "pass" : "fail");
    cJSON_AddStringToObject(r.get(), "exit", s.result.c_str());
    cJSON_AddStringToObject(r.get(), "end", utc_text(utc_now_ms()).c_str());
    cJSON_AddNumberToObject(r.get(), "duration_ms", static_cast<double>(static_cast<int64_t>(s.seconds * 1000)));
    cJSON_AddStringToObject(r.get(), "address", s.address.c_str());
    add_failure(r.get(), s);
    return json_text(r.get());
}

double seconds_between(board_clock::time_point a, board_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

double board_yield_percent(const station_counters& c) {
    return c.modules == 0 ? 0.0 : 100.0 * static_cast<double>(c.first_pass) / static_cast<double>(c.modules);
}

double board_modules_per_hour(const station_counters& c) {
    return c.seconds <= 0 ? 0.0 : static_cast<double>(c.modules) * 3600.0 / c.seconds;
}

void station_board::set_slots(const std::vector<std::string>& ports, const std::vector<std::string>& labels,
                              bool loop) {
    std::lock_guard<std::mutex> hold(lock_);
    slots_.assign(ports.size(), slot_state());
    for (size_t i = 0; i < ports.size(); ++i) {
        slots_[i].number = i + 1;
        slots_[i].port = ports[i];
        if (i < labels.size()) slots_[i].label = labels[i];
    }
    loop_ = loop;
}

void station_board::cycle_started() {
    std::lock_guard<std::mutex> hold(lock_);
    cycle_start_ = board_clock::now();
    if (counters_.cycles == 0) first_start_ = cycle_start_;
    running_ = true;
    waiting_ = false;
    for (slot_state& s : slots_) {
        const slot_state fresh = slot_state();
        s.state = fresh.state;
        s.line_text = s.step = s.result = s.address = s.failure_class = s.failure_text = s.failure_message = "";
        s.done = s.total = 0;
        s.failure_line = -1;
        s.seconds = 0;
    }
    publish(gang_event("cycle_start", "cycle", static_cast<double>(counters_.cycles + 1)));
}

void station_board::slot_started(size_t slot, const std::string& address) {
    std::lock_guard<std::mutex> hold(lock_);
    slot_state& s = slots_.at(slot);
    s.state = SLOT_RUNNING;
    s.address = address;
    s.start = board_clock::now();
    publish(gang_event("slot_start", "slot", static_cast<double>(s.number)));
}

void station_board::slot_event(size_t slot, const std::string& json_line) {
    json_ptr event = parse(json_line);
    if (!cJSON_IsObject(event.get())) return;  // a line cut short by a killed child
    std::lock_guard<std::mutex> hold(lock_);
    slot_state& s = slots_.at(slot);
    follow_event(s, event.get());
    cJSON_DeleteItemFromObjectCaseSensitive(event.get(), "slot");
    cJSON_AddNumberToObject(event.get(), "slot", static_cast<double>(s.number));
    publish(json_text(event.get()));
}

void station_board::slot_record(size_t slot, const std::string& json_line) {
    json_ptr record = parse(json_line);
    if (!cJSON_IsObject(record.get())) return;
    std::lock_guard<std::mutex> hold(lock_);
    slot_state& s = slots_.at(slot);
    const cJSON* address = cJSON_GetObjectItemCaseSensitive(record.get(), "device_address");
    if (cJSON_IsObject(address)) s.address = text_of(address, "text");
    const cJSON* failure = cJSON_GetObjectItemCaseSensitive(record.get(), "failure");
    if (!cJSON_IsObject(failure)) return;
    s.failure_class = text_of(failure, "class");
    s.failure_line = static_cast<int64_t>(number_of(failure, "line", -1));
    s.failure_text = text_of(failure, "text");
    s.failure_message = text_of(failure, "message");
}

void station_board::slot_ended(size_t slot, bool passed, const std::string& result) {
    std::lock_guard<std::mutex> hold(lock_);
    slot_state& s = slots_.at(slot);
    s.state = passed ? SLOT_PASSED : SLOT_FAILED;
    s.result = result;
    s.step.clear();
    s.seconds = s.start == board_clock::time_point() ? 0.0 : seconds_between(s.start, board_clock::now());
    ++counters_.runs;
    ++counters_.modules;
    ++(passed ? counters_.passed : counters_.failed);
    counters_.first_pass += passed ? 1 : 0;
    json_ptr e = object();
    cJSON_AddStringToObject(e.get(), "event", "slot_end");
    add_slot_fields(e.get(), s, s.seconds);
    add_failure(e.get(), s);
    publish(json_text(e.get()));
    records_.push_front(end_record(s, counters_.cycles + 1));
    if (records_.size() > BOARD_RECORDS_KEPT) records_.pop_back();
}

void station_board::cycle_ended() {
    std::lock_guard<std::mutex> hold(lock_);
    running_ = false;
    ++counters_.cycles;
    counters_.seconds = seconds_between(first_start_, board_clock::now());
    publish(gang_event("cycle_end", "cycle", static_cast<double>(counters_.cycles)));
}

void station_board::set_waiting(bool waiting) {
    std::lock_guard<std::mutex> hold(lock_);
    waiting_ = waiting;
    publish(gang_event(waiting ? "waiting" : "starting", nullptr, 0));
}

std::vector<slot_state> station_board::slots() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<slot_state> out = slots_;
    for (slot_state& s : out) s.seconds = seconds_of(s);
    return out;
}

station_counters station_board::counters() const {
    std::lock_guard<std::mutex> hold(lock_);
    return counters_;
}

bool station_board::loop() const {
    std::lock_guard<std::mutex> hold(lock_);
    return loop_;
}

bool station_board::waiting() const {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_;
}

double station_board::seconds_of(const slot_state& s) const {
    if (s.state != SLOT_RUNNING) return s.seconds;
    return seconds_between(s.start, board_clock::now());
}

std::string station_board::status_json() const {
    std::lock_guard<std::mutex> hold(lock_);
    json_ptr out = object();
    cJSON_AddBoolToObject(out.get(), "loop", loop_);
    cJSON_AddBoolToObject(out.get(), "running", running_);
    cJSON_AddBoolToObject(out.get(), "waiting", waiting_);
    cJSON_AddNumberToObject(out.get(), "cycle", static_cast<double>(counters_.cycles + (running_ ? 1 : 0)));
    cJSON* slots = cJSON_AddArrayToObject(out.get(), "slots");
    for (const slot_state& s : slots_) {
        cJSON* item = cJSON_CreateObject();
        add_slot_fields(item, s, seconds_of(s));
        add_failure(item, s);
        cJSON_AddItemToArray(slots, item);
    }
    if (stored_)
        add_counters(out.get(), "counters", stored_view_.counters, stored_view_.per_hour);
    else
        add_counters(out.get(), "counters", counters_, board_modules_per_hour(counters_));
    add_counters(out.get(), "loop_counters", counters_, board_modules_per_hour(counters_));
    return json_text(out.get());
}

std::string station_board::recent_json(size_t limit) const {
    std::lock_guard<std::mutex> hold(lock_);
    const size_t n = std::min(limit, stored_ ? stored_view_.records.size() : records_.size());
    std::string out = "[";
    for (size_t i = 0; i < n; ++i) out += (i > 0 ? "," : "") + (stored_ ? stored_view_.records[i] : records_[i]);
    return out + "]";
}

void station_board::set_stored(stored_view view) {
    std::lock_guard<std::mutex> hold(lock_);
    stored_view_ = std::move(view);
    stored_ = true;
    publish(gang_event("stored", nullptr, 0));
}

void station_board::publish(const std::string& json) {
    events_.push_back(json);
    if (events_.size() > BOARD_EVENTS_KEPT) {
        events_.pop_front();
        ++first_event_;
    }
    events_changed_.notify_all();
}

std::vector<std::string> station_board::events_after(uint64_t* next, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    auto have = [&] { return closed_ || *next < first_event_ + events_.size(); };
    events_changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), have);
    std::vector<std::string> out;
    if (*next < first_event_) {
        out.push_back("{\"event\":\"resync\"}");
        *next = first_event_;
    }
    for (; *next < first_event_ + events_.size(); ++*next) out.push_back(events_[*next - first_event_]);
    return out;
}

uint64_t station_board::event_end() const {
    std::lock_guard<std::mutex> hold(lock_);
    return first_event_ + events_.size();
}

bool station_board::events_closed() const {
    std::lock_guard<std::mutex> hold(lock_);
    return closed_;
}

void station_board::close_events() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    events_changed_.notify_all();
}
