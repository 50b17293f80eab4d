// flint-gang: programs several modules at once, one flint one-shot run per
// port, and sums the results up.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "gang/gang_options.h"
#include "gang/gang_run.h"
#include "gang/loop.h"
#include "gang/loop_options.h"
#include "gang/station_commands.h"
#include "gang/station_cycle.h"
#include "gang/station_view.h"
#include "common/trace_variable.h"
#include "platform/platform.h"

namespace {

const char* const DEFAULT_LOGS_ROOT = "flint-gang-logs";
const char* const GANG_SUFFIX = "-gang";
const char* const UNSTORED_FILE = "unstored-records.jsonl";

const char* const MSG_VERSION = "flint-gang %s\n";
const char* const MSG_NO_FLINT = "flint-gang: no flint program beside flint-gang (looked for %s)\n";
const char* const MSG_TRACE_IS_FILE =
    "flint-gang: %s=%s is a file: give a folder, each port gets its own trace file there\n";
const char* const MSG_TRACE_FOLDER = "flint-gang: cannot write into the trace folder %s: %s\n";
const char* const MSG_LOG_FOLDER = "flint-gang: cannot write into the log folder %s: %s\n";
const char* const MSG_CYCLE_FOLDER = "flint-gang: cannot make the folder %s: %s\n";
const char* const MSG_NO_VIEW = "flint-gang: the page cannot show the database's counters: %s";
const char* const MSG_NOT_AS_TYPED =
    "flint-gang: %s is not the argument as typed: it holds a character the Windows code page cannot "
    "represent (shown as ? or as a look-alike)\n";
const char* const CYCLE_FOLDER = "cycle-";
// Written into a folder (and removed) to learn that files can be written there.
const char* const PROBE_FILE_PREFIX = ".flint-gang-probe-";

// The flint beside this program: its own file name without "-gang"
// ("flint-gang.exe" beside "flint.exe").
std::string flint_beside() {
    std::string self = plat_exe_path();
    const size_t name_at = self.find_last_of("/\\");
    const size_t gang_at = self.rfind(GANG_SUFFIX);
    if (self.empty() || gang_at == std::string::npos || (name_at != std::string::npos && gang_at < name_at))
        return std::string();
    return self.erase(gang_at, std::char_traits<char>::length(GANG_SUFFIX));
}

// A folder of its own for this run's logs: flint-gang-logs/YYYYMMDD-HHMMSS,
// with "-2", "-3"... when a run of the same second has it already.
std::string default_logs_dir() {
    char stamp[32] = "run";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* t = std::localtime(&now)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", t);
    const std::filesystem::path base = std::filesystem::path(DEFAULT_LOGS_ROOT) / stamp;
    std::filesystem::path dir = base;
    std::error_code ec;
    for (int k = 2; std::filesystem::exists(dir, ec); ++k) dir = base.string() + "-" + std::to_string(k);
    return dir.string();
}

// Writes a byte into a new file of the folder and removes it again; "" or
// the reason it cannot be done (a folder without write permission, a full
// or read-only disk).
std::string write_probe(const std::string& dir) {
    const std::filesystem::path probe =
        std::filesystem::path(dir) / (PROBE_FILE_PREFIX + std::to_string(plat_process_id()));
    std::FILE* f = std::fopen(probe.string().c_str(), "wb");
    if (f == nullptr) return std::strerror(errno);
    const bool written = std::fputc('\n', f) != EOF && std::fflush(f) == 0;
    const int error = errno;
    const bool closed = std::fclose(f) == 0;
    std::error_code ignored;
    std::filesystem::remove(probe, ignored);
    return written && closed ? std::string() : std::string(std::strerror(written ? errno : error));
}

// Makes the folder (and its parents) and makes sure files can be written
// there, before any child starts; "" or the reason it cannot be used.
std::string make_folder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) return ec ? ec.message() : std::string("not a folder");
    return write_probe(dir);
}

int refuse(const std::string& message) {
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
    return GANG_REFUSED;
}

// Refuses with a message of two %s fields.
int refuse(const char* fmt, const std::string& a, const std::string& b = std::string()) {
    std::fflush(stdout);
    std::fprintf(stderr, fmt, a.c_str(), b.c_str());
    return GANG_REFUSED;
}

// The folders of one cycle of a loop: cycle-N in the log and trace folders.
int cycle_folders(const gang_settings& base, unsigned cycle, gang_settings* settings) {
    const std::string name = std::string(1, plat_path_separator()) + CYCLE_FOLDER + std::to_string(cycle);
    settings->logs_dir = base.logs_dir + name;
    settings->trace_dir = base.trace_dir.empty() ? std::string() : base.trace_dir + name;
    for (const std::string& dir : {settings->logs_dir, settings->trace_dir}) {
        const std::string why = dir.empty() ? std::string() : make_folder(dir);
        if (!why.empty()) return refuse(MSG_CYCLE_FOLDER, dir, why);
    }
    return 0;
}

// One gang run as one cycle of the station database; -1 (after the
// message) when the cycle cannot begin.
int one_cycle(station_cycle& cycle, const station_options& station, gang_job& job, gang_settings& settings) {
    const std::string refused = cycle.begin(station, &job);
    if (!refused.empty()) return refuse(refused), -1;
    cycle.fallback_file = (std::filesystem::path(settings.logs_dir) / UNSTORED_FILE).string();
    settings.child_ended = [&cycle](const gang_child_end& end) { cycle.child_ended(end); };
    const int failed = gang_run(job, settings, stdout);
    cycle.end();
    return failed;
}

// The gang's cycles with the station around them: the loop, the page.
int run_station(const loop_options& loop, const station_options& station, gang_job& job, gang_settings& settings) {
    station_cycle cycle;
    unsigned number = 0;
    const gang_settings base = settings;
    station_hooks hooks;
    hooks.run_cycle = [&](gang_observer* observer) {
        settings.observer = observer;
        // Each cycle of a loop keeps its logs and traces in a folder of its own.
        if (loop.loop && cycle_folders(base, ++number, &settings) != 0) return -1;
        return one_cycle(cycle, station, job, settings);
    };
    hooks.stored = [&cycle](stored_view* view) {
        if (cycle.store() == nullptr) return false;
        const std::string failed = station_view(*cycle.store(), cycle.station(), view);
        if (failed.empty()) return true;
        std::fprintf(stderr, MSG_NO_VIEW, failed.c_str());
        return false;
    };
    return station_run(job, loop, stdout, hooks);
}

}  // namespace

int main(int argc, char** argv) {
    plat_standard_streams_open();
    plat_args_begin(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (!plat_arg_as_typed(argv[i])) return refuse(MSG_NOT_AS_TYPED, argv[i]);
    std::vector<std::string> words(argv + 1, argv + argc);
    if (!words.empty() && words[0] == "pool") return pool_command({words.begin() + 1, words.end()}, stdout);
    if (!words.empty() && words[0] == "report") return report_command({words.begin() + 1, words.end()}, stdout);
    station_options station;
    std::string refused = station_take_options(&words, OPT_DB | OPT_POOL | OPT_STATION, &station);
    loop_options loop;
    if (refused.empty()) refused = loop_take_options(&words, &loop);
    gang_job job;
    if (refused.empty()) refused = gang_read_options(words, &job);
    if (refused.empty() && !job.help && !job.version) refused = loop_check_options(loop, job.ports.size());
    if (!refused.empty()) return refuse(refused);
    if (job.help) {
        std::fputs(GANG_USAGE, stdout);
        return 0;
    }
    if (job.version) {
        std::printf(MSG_VERSION, FLINT_VERSION);
        return 0;
    }

    gang_settings settings;
    settings.flint = flint_beside();
    std::error_code ec;
    if (settings.flint.empty() || !std::filesystem::is_regular_file(settings.flint, ec))
        return refuse(MSG_NO_FLINT, settings.flint.empty() ? std::string("it") : settings.flint);

    const char* trace = std::getenv(TRACE_VARIABLE);
    if (trace != nullptr && *trace != '\0') {
        if (std::filesystem::exists(trace, ec) && !std::filesystem::is_directory(trace, ec))
            return refuse(MSG_TRACE_IS_FILE, TRACE_VARIABLE, trace);
        const std::string why = make_folder(trace);
        if (!why.empty())
            return refuse(MSG_TRACE_FOLDER, trace, why);
        settings.trace_dir = trace;
    }

    settings.logs_dir = job.logs_dir.empty() ? default_logs_dir() : job.logs_dir;
    const std::string why = make_folder(settings.logs_dir);
    if (!why.empty()) return refuse(MSG_LOG_FOLDER, settings.logs_dir, why);
    settings.temp_base = plat_temp_dir();
    settings.terminal = plat_stdout_is_terminal();
    if (loop.loop || loop.http) return run_station(loop, station, job, settings);
    station_cycle cycle;
    const int failed = one_cycle(cycle, station, job, settings);
    return failed < 0 ? GANG_REFUSED : failed;
}
