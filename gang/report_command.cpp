// flint-gang report: per station and per slot, the cycles, modules, passes,
// failures (by class and by line), first-pass yield, median module time and
// modules per hour; per pool, the addresses consumed, free and quarantined.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "gang/gang_options.h"
#include "gang/station_commands.h"
#include "gang/station_options.h"
#include "gang/store/station_store.h"
#include "gang/store/utc_time.h"

const char* const REPORT_USAGE =
    "Usage: flint-gang report [--db URL] [--since TIME] [--station NAME] [--csv]\n"
    "   TIME: UTC, 2026-12-10 or 2026-12-10T15:00 (or 8h, 3d: that long ago)\n";

namespace {

constexpr int64_t MS_PER_HOUR = 3600000;

int refuse(const std::string& message) {
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
    return GANG_REFUSED;
}

// --since as a UTC text: a time, or "Nh" / "Nd" before now.
bool since_text(const std::string& given, std::string* out) {
    if (given.empty()) return true;
    int64_t ms = 0;
    if (utc_parse(given, &ms)) return *out = utc_text(ms), true;
    char* end = nullptr;
    const long long n = std::strtoll(given.c_str(), &end, 10);
    if (end == given.c_str() || n < 0 || n > 100000 || end[0] == '\0' || end[1] != '\0') return false;
    const int64_t unit = end[0] == 'h' ? MS_PER_HOUR : end[0] == 'd' ? 24 * MS_PER_HOUR : 0;
    if (unit == 0) return false;
    *out = utc_text(utc_now_ms() - n * unit);
    return true;
}

std::string slot_name(const run_stats& s) { return s.slot == 0 ? "all" : std::to_string(s.slot); }

double yield_percent(const run_stats& s) {
    return s.modules == 0 ? 0.0 : 100.0 * static_cast<double>(s.first_pass) / static_cast<double>(s.modules);
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void print_text(const station_report& r, FILE* out) {
    std::fprintf(out, "%-16s %-4s %-20s %7s %7s %8s %7s %7s %10s %9s %10s\n", "station", "slot", "port", "cycles",
                 "runs", "modules", "passed", "failed", "first-pass", "median s", "modules/h");
    for (const run_stats& s : r.groups)
        std::fprintf(out, "%-16s %-4s %-20s %7lld %7lld %8lld %7lld %7lld %9.1f%% %9.2f %10.1f\n", s.station.c_str(),
                     slot_name(s).c_str(), s.port.c_str(), static_cast<long long>(s.cycles),
                     static_cast<long long>(s.runs), static_cast<long long>(s.modules),
                     static_cast<long long>(s.passed), static_cast<long long>(s.failed), yield_percent(s), s.median_s,
                     s.per_hour);
    bool heading = false;
    for (const run_stats& s : r.groups) {
        for (const auto* failures : {&s.by_class, &s.by_line}) {
            for (const auto& f : *failures) {
                if (!heading) std::fprintf(out, "\nfailed runs\n%-16s %-4s %-6s %6s  %s\n", "station", "slot", "by",
                                           "runs", "failure");
                heading = true;
                std::fprintf(out, "%-16s %-4s %-6s %6lld  %s\n", s.station.c_str(), slot_name(s).c_str(),
                             failures == &s.by_class ? "class" : "line", static_cast<long long>(f.second),
                             f.first.c_str());
            }
        }
    }
    std::fprintf(out, "\n%-16s %-17s  %-17s  %9s %9s %11s %9s\n", "pool", "first", "last", "consumed", "free",
                 "quarantined", "reserved");
    for (const pool_stats& p : r.pools)
        std::fprintf(out, "%-16s %-17s  %-17s  %9lld %9lld %11lld %9lld\n", p.name.c_str(), p.first.c_str(),
                     p.last.c_str(), static_cast<long long>(p.consumed), static_cast<long long>(p.free),
                     static_cast<long long>(p.quarantined), static_cast<long long>(p.reserved));
}

// Three tables, each with its header line, a blank line between them.
void print_csv(const station_report& r, FILE* out) {
    std::fprintf(out, "station,slot,port,cycles,runs,modules,passed,failed,first_pass_yield,median_s,modules_per_hour\n");
    for (const run_stats& s : r.groups)
        std::fprintf(out, "%s,%s,%s,%lld,%lld,%lld,%lld,%lld,%.4f,%.3f,%.1f\n", csv_field(s.station).c_str(),
                     slot_name(s).c_str(), csv_field(s.port).c_str(), static_cast<long long>(s.cycles),
                     static_cast<long long>(s.runs), static_cast<long long>(s.modules),
                     static_cast<long long>(s.passed), static_cast<long long>(s.failed), yield_percent(s) / 100.0,
                     s.median_s, s.per_hour);
    std::fprintf(out, "\nstation,slot,by,failure,runs\n");
    for (const run_stats& s : r.groups)
        for (const auto* failures : {&s.by_class, &s.by_line})
            for (const auto& f : *failures)
                std::fprintf(out, "%s,%s,%s,%s,%lld\n", csv_field(s.station).c_str(), slot_name(s).c_str(),
                             failures == &s.by_class ? "class" : "line", csv_field(f.first).c_str(),
                             static_cast<long long>(f.second));
    std::fprintf(out, "\npool,first,last,consumed,free,quarantined,reserved\n");
    for (const pool_stats& p : r.pools)
        std::fprintf(out, "%s,%s,%s,%lld,%lld,%lld,%lld\n", csv_field(p.name).c_str(), p.first.c_str(),
                     p.last.c_str(), static_cast<long long>(p.consumed), static_cast<long long>(p.free),
                     static_cast<long long>(p.quarantined), static_cast<long long>(p.reserved));
}

}  // namespace

int report_command(std::vector<std::string> words, FILE* out) {
    station_options options;
    std::string message = station_take_options(&words, OPT_DB | OPT_SINCE | OPT_STATION | OPT_CSV, &options);
    if (!message.empty()) return refuse(message);
    if (!words.empty()) return refuse(REPORT_USAGE);
    report_filter filter;
    filter.station = options.station;
    if (!since_text(options.since, &filter.since))
        return refuse("flint-gang: --since " + options.since + " is no time (2026-12-10T15:00, 8h, 3d)\n");
    if (options.db_url == STORE_NONE) return refuse("flint-gang: the report reads a station database: give --db URL\n");
    const std::string sqlite_file = store_sqlite_path(options.db_url);
    std::error_code ec;
    if (!sqlite_file.empty() && !std::filesystem::exists(sqlite_file, ec))
        return refuse("flint-gang: there is no station database " + sqlite_file + " (give --db URL)\n");
    std::unique_ptr<station_store> store = station_store::open(options.db_url, &message);
    if (store == nullptr) return refuse(message);
    station_report report;
    message = store->report(filter, &report);
    if (!message.empty()) return refuse(message);
    if (options.csv)
        print_csv(report, out);
    else
        print_text(report, out);
    return 0;
}
