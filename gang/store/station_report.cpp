// The report's counters, computed from the stored runs: per station and per
// slot of each station.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "gang/store/station_store.h"
#include "gang/store/utc_time.h"

namespace {

constexpr double MS_PER_HOUR = 3600000.0;

// The columns load_runs reads.
enum { R_STATION, R_SLOT, R_PORT, R_CYCLE, R_START, R_DURATION, R_VERDICT, R_CLASS, R_LINE, R_TEXT, R_ADDRESS,
       R_WRITTEN, R_ID };

std::string text_of(const sql_text& value) { return value.value_or(""); }
int64_t number_of(const sql_text& value) { return value ? std::strtoll(value->c_str(), nullptr, 10) : 0; }

// A module is known by the device address its run wrote; a run that wrote
// none is a module of its own.
std::string module_key(const sql_row& r) {
    if (number_of(r[R_WRITTEN]) != 0 && r[R_ADDRESS]) return "address " + *r[R_ADDRESS];
    return "run " + text_of(r[R_ID]);
}

std::string line_key(const sql_row& r) {
    if (!r[R_LINE]) return "before any line";
    return "line " + *r[R_LINE] + (r[R_TEXT] ? ": " + *r[R_TEXT] : "");
}

double median_seconds(std::vector<int64_t> ms) {
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double mid = n % 2 ? static_cast<double>(ms[n / 2]) : (ms[n / 2 - 1] + ms[n / 2]) / 2.0;
    return mid / 1000.0;
}

// The counters of one group of runs, in the order they started.
run_stats stats_of(const std::vector<const sql_row*>& runs) {
    run_stats s;
    std::set<int64_t> cycles;
    std::map<std::string, std::pair<bool, bool>> modules;  // first passed, latest passed
    std::vector<int64_t> durations;
    int64_t first_start = INT64_MAX, last_end = INT64_MIN;
    for (const sql_row* r : runs) {
        const bool pass = text_of((*r)[R_VERDICT]) == "pass";
        cycles.insert(number_of((*r)[R_CYCLE]));
        const auto found = modules.find(module_key(*r));
        if (found == modules.end())
            modules[module_key(*r)] = {pass, pass};
        else
            found->second.second = pass;
        durations.push_back(number_of((*r)[R_DURATION]));
        int64_t start = 0;
        if (utc_parse(text_of((*r)[R_START]), &start)) {
            first_start = std::min(first_start, start);
            last_end = std::max(last_end, start + number_of((*r)[R_DURATION]));
        }
        if (!pass) {
            ++s.by_class[(*r)[R_CLASS].value_or("unknown")];
            ++s.by_line[line_key(*r)];
        }
        s.port = text_of((*r)[R_PORT]);
    }
    s.cycles = static_cast<int64_t>(cycles.size());
    s.runs = static_cast<int64_t>(runs.size());
    s.modules = static_cast<int64_t>(modules.size());
    for (const auto& m : modules) {
        s.first_pass += m.second.first ? 1 : 0;
        s.passed += m.second.second ? 1 : 0;
    }
    s.failed = s.modules - s.passed;
    s.median_s = median_seconds(durations);
    if (last_end > first_start) s.per_hour = static_cast<double>(s.modules) * MS_PER_HOUR / (last_end - first_start);
    return s;
}

}  // namespace

std::string station_store::report(const report_filter& filter, station_report* out) {
    std::vector<sql_row> rows;
    std::string message = load_runs(filter, &rows);
    if (!message.empty()) return message;
    // Rows come ordered by station, slot, start.
    std::map<std::string, std::vector<const sql_row*>> stations;
    std::map<std::pair<std::string, int64_t>, std::vector<const sql_row*>> slots;
    for (const sql_row& r : rows) {
        stations[text_of(r[R_STATION])].push_back(&r);
        slots[{text_of(r[R_STATION]), number_of(r[R_SLOT])}].push_back(&r);
    }
    for (auto& station : stations) {
        std::sort(station.second.begin(), station.second.end(), [](const sql_row* a, const sql_row* b) {
            return std::make_pair(text_of((*a)[R_START]), number_of((*a)[R_ID])) <
                   std::make_pair(text_of((*b)[R_START]), number_of((*b)[R_ID]));
        });
        run_stats s = stats_of(station.second);
        s.station = station.first;
        s.port.clear();
        out->groups.push_back(s);
        for (const auto& slot : slots) {
            if (slot.first.first != station.first) continue;
            run_stats t = stats_of(slot.second);
            t.station = station.first;
            t.slot = static_cast<int>(slot.first.second);
            out->groups.push_back(t);
        }
    }
    return load_pools("", &out->pools);
}
