// flint-gang pool: creates a device address pool, shows the pools, releases a
// quarantined address.
#include <cstdio>
#include <memory>

#include "gang/gang_options.h"
#include "gang/station_commands.h"
#include "gang/station_options.h"
#include "gang/store/station_store.h"

const char* const POOL_USAGE =
    "Usage: flint-gang pool create NAME FIRST LAST [--db URL]\n"
    "       flint-gang pool show [NAME] [--db URL]\n"
    "       flint-gang pool release NAME ADDRESS [--db URL]\n";

namespace {

int refuse(const std::string& message) {
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
    return GANG_REFUSED;
}

void print_pools(const std::vector<pool_stats>& pools, FILE* out) {
    size_t width = 4;
    for (const pool_stats& p : pools) width = std::max(width, p.name.size());
    const int w = static_cast<int>(width);
    std::fprintf(out, "%-*s  %-17s  %-17s  %10s  %10s  %10s  %11s\n", w, "pool", "first", "last", "free", "reserved",
                 "consumed", "quarantined");
    for (const pool_stats& p : pools)
        std::fprintf(out, "%-*s  %-17s  %-17s  %10lld  %10lld  %10lld  %11lld\n", w, p.name.c_str(), p.first.c_str(),
                     p.last.c_str(), static_cast<long long>(p.free), static_cast<long long>(p.reserved),
                     static_cast<long long>(p.consumed), static_cast<long long>(p.quarantined));
}

int show(station_store& store, const std::vector<std::string>& args, FILE* out) {
    std::vector<pool_stats> pools;
    std::vector<std::string> quarantined;
    const std::string name = args.size() > 1 ? args[1] : "";
    std::string message = store.pool_show(name, &pools);
    if (message.empty() && !name.empty()) message = store.pool_quarantined(name, &quarantined);
    if (!message.empty()) return refuse(message);
    print_pools(pools, out);
    for (const std::string& q : quarantined) std::fprintf(out, "quarantined %s\n", q.c_str());
    return 0;
}

}  // namespace

int pool_command(std::vector<std::string> words, FILE* out) {
    station_options options;
    std::string message = station_take_options(&words, OPT_DB, &options);
    if (!message.empty()) return refuse(message);
    const std::string verb = words.empty() ? "" : words[0];
    const bool shape_ok = (verb == "create" && words.size() == 4) || (verb == "show" && words.size() <= 2) ||
                          (verb == "release" && words.size() == 3);
    if (!shape_ok) return refuse(POOL_USAGE);
    if (options.db_url == STORE_NONE) return refuse("flint-gang: the pools live in a station database: give --db URL\n");
    std::unique_ptr<station_store> store = station_store::open(options.db_url, &message);
    if (store == nullptr) return refuse(message);
    if (verb == "show") return show(*store, words, out);
    if (verb == "create") {
        message = store->pool_create(words[1], words[2], words[3]);
        if (message.empty()) std::fprintf(out, "flint-gang: pool %s created\n", words[1].c_str());
    } else {
        message = store->pool_release(words[1], words[2]);
        if (message.empty()) std::fprintf(out, "flint-gang: %s is free again in pool %s\n", words[2].c_str(), words[1].c_str());
    }
    return message.empty() ? 0 : refuse(message);
}
