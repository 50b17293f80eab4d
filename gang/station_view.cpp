// The page's view of the station database: the report's line of this
// station and its runs as JSON objects (the whole record under "record").
#include "gang/station_view.h"

#include "gang/store/json_text.h"

#include <cjson/cJSON.h>

namespace {

void add_text(cJSON* o, const char* name, const sql_text& value) {
    if (value)
        cJSON_AddStringToObject(o, name, value->c_str());
    else
        cJSON_AddNullToObject(o, name);
}

void add_failure(cJSON* o, const run_entry& e) {
    if (!e.failure_class) return (void)cJSON_AddNullToObject(o, "failure");
    cJSON* f = cJSON_AddObjectToObject(o, "failure");
    add_text(f, "class", e.failure_class);
    if (e.failure_line)
        cJSON_AddNumberToObject(f, "line", std::atof(e.failure_line->c_str()));
    else
        cJSON_AddNullToObject(f, "line");
    add_text(f, "text", e.failure_text);
}

std::string run_json(const stored_run& run) {
    const run_entry& e = run.entry;
    cJSON* o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "id", static_cast<double>(run.id));
    cJSON_AddNumberToObject(o, "cycle", static_cast<double>(e.cycle));
    cJSON_AddStringToObject(o, "station", e.station.c_str());
    cJSON_AddNumberToObject(o, "slot", e.slot);
    cJSON_AddStringToObject(o, "port", e.port.c_str());
    cJSON_AddStringToObject(o, "start", e.start.c_str());
    cJSON_AddNumberToObject(o, "duration_ms", static_cast<double>(e.duration_ms));
    cJSON_AddStringToObject(o, "verdict", e.verdict.c_str());
    add_failure(o, e);
    add_text(o, "address", e.device_address);
    cJSON* record = cJSON_Parse(e.record.c_str());
    if (record != nullptr) cJSON_AddItemToObject(o, "record", record);
    std::string out = json_text(o);
    cJSON_Delete(o);
    return out;
}

station_counters counters_of(const run_stats& s) {
    station_counters c;
    c.cycles = static_cast<uint64_t>(s.cycles);
    c.runs = static_cast<uint64_t>(s.runs);
    c.modules = static_cast<uint64_t>(s.modules);
    c.passed = static_cast<uint64_t>(s.passed);
    c.failed = static_cast<uint64_t>(s.failed);
    c.first_pass = static_cast<uint64_t>(s.first_pass);
    return c;
}

}  // namespace

std::string station_view(station_store& store, const std::string& station, stored_view* out) {
    report_filter filter;
    filter.station = station;
    station_report report;
    std::string failed = store.report(filter, &report);
    if (!failed.empty()) return failed;
    *out = stored_view();
    for (const run_stats& s : report.groups)
        if (s.slot == 0 && s.station == station) out->counters = counters_of(s), out->per_hour = s.per_hour;
    std::vector<stored_run> runs;
    failed = store.recent_runs(BOARD_RECORDS_KEPT, &runs);
    for (const stored_run& r : runs)
        if (r.entry.station == station) out->records.push_back(run_json(r));
    return failed;
}
