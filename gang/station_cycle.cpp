#include "gang/station_cycle.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "gang/store/run_record.h"
#include "gang/store/utc_time.h"
#include "platform/platform.h"

namespace {

const char* const MSG_POOL_AND_X = "flint-gang: --pool gives each port its address: leave out -x\n";
const char* const MSG_POOL_NO_DB = "flint-gang: --pool needs the station database: leave out --db none\n";
const char* const DEFAULT_STATION = "station";

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string station_cycle::begin(const station_options& options, gang_job* job) {
    const bool addressed = !job->ports.empty() && !job->ports[0].address.empty() && own_args_.empty();
    if (!options.pool.empty() && addressed) return MSG_POOL_AND_X;
    if (options.db_url == STORE_NONE) return options.pool.empty() ? "" : MSG_POOL_NO_DB;
    std::string message;
    if (store_ == nullptr) store_ = station_store::open(options.db_url, &message);
    if (store_ == nullptr) return message;
    int64_t quarantined = 0;
    message = store_->quarantine_abandoned(&quarantined);
    if (!message.empty()) return message;
    if (quarantined > 0)
        std::fprintf(stderr, "flint-gang: %lld addresses reserved by gangs that ended without a word are quarantined "
                             "(flint-gang pool show)\n",
                     static_cast<long long>(quarantined));
    station_ = options.station.empty() ? plat_host_name() : options.station;
    if (station_.empty()) station_ = DEFAULT_STATION;
    pool_ = options.pool;
    std::vector<std::string> addresses;
    message = store_->begin_cycle(station_, job->ports.size(), pool_, &cycle_, &addresses);
    if (!message.empty()) return message;
    give_addresses(addresses, job);
    job_ = job;
    return "";
}

void station_cycle::give_addresses(const std::vector<std::string>& addresses, gang_job* job) {
    if (addresses.empty()) return;
    for (size_t i = 0; i < addresses.size() && i < job->ports.size(); ++i) {
        std::vector<std::string>& args = job->ports[i].args;
        if (own_args_.size() <= i) own_args_.push_back(args.size());
        args.resize(own_args_[i]);
        args.push_back("-x");
        args.push_back(addresses[i]);
        job->ports[i].address = addresses[i];
    }
}

void station_cycle::child_ended(const gang_child_end& end) {
    if (store_ == nullptr || job_ == nullptr) return;
    const gang_port& port = job_->ports[end.index];
    child_outcome child;
    child.port = port.port;
    child.slot = static_cast<int>(end.index) + 1;
    child.duration_ms = static_cast<int64_t>(end.seconds * 1000.0);
    child.start = utc_text(utc_now_ms() - child.duration_ms);
    child.started = end.started;
    child.start_error = end.start_error;
    child.exited = end.status.exited;
    child.code = end.status.code;
    child.signal = end.status.signal;
    child.address = port.address;
    const std::string record =
        end.started && !end.temp_dir.empty() ? file_text(end.temp_dir + plat_path_separator() + GANG_RECORD_FILE) : "";
    run_entry run = run_entry_of(record, child);
    run.cycle = cycle_;
    run.station = station_;
    run.pool = pool_;
    int64_t id = 0;
    const std::string message = store_->store_run(run, &id);
    if (!message.empty()) keep_elsewhere(run, message);
}

void station_cycle::keep_elsewhere(const run_entry& run, const std::string& why) {
    std::fflush(stdout);
    std::fputs(why.c_str(), stderr);
    std::ofstream out(fallback_file, std::ios::app | std::ios::binary);
    out << run.record << "\n";
    out.flush();
    if (out)
        std::fprintf(stderr, "flint-gang: the record of %s is kept in %s\n", run.port.c_str(), fallback_file.c_str());
    else
        std::fprintf(stderr, "flint-gang: the record of %s is lost: cannot write %s either\n", run.port.c_str(),
                     fallback_file.c_str());
}

void station_cycle::end() {
    if (store_ == nullptr || job_ == nullptr) return;
    job_ = nullptr;
    const std::string message = store_->end_cycle(cycle_);
    if (!message.empty()) {
        std::fflush(stdout);
        std::fputs(message.c_str(), stderr);
    }
}
