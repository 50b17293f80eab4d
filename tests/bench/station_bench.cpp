// The station database's allocation: reserving the device addresses of a
// 64-port cycle from a pool, in one transaction, on the PostgreSQL server
// FLINT_TEST_PG names (./dev.sh bench starts a private one) and on an SQLite
// file. Prints the median and the slowest of 20 reservations each, and, for
// scale, the median of one round trip to the server (SELECT 1).
//
//   station_bench        (FLINT_TEST_PG=postgresql://... for the server)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gang/store/station_store.h"

namespace {

constexpr size_t kPorts = 64;
constexpr int kCycles = 20;

// Reserves kPorts addresses kCycles times (each cycle ended, its addresses
// left consumed by no run); the times in milliseconds, sorted.
bool reserve_times(const std::string& url, std::vector<double>* ms) {
    std::string error;
    std::unique_ptr<station_store> store = station_store::open(url, &error);
    if (store == nullptr) {
        std::fprintf(stderr, "station_bench: %s", error.c_str());
        return false;
    }
    const std::string pool = "bench" + std::to_string(getpid());
    const std::string first = "00:22:" + std::to_string(getpid() % 90 + 10) + ":00:00:00";
    const std::string last = "00:22:" + std::to_string(getpid() % 90 + 10) + ":00:FF:FF";
    error = store->pool_create(pool, first, last);
    if (!error.empty()) {
        std::fprintf(stderr, "station_bench: %s", error.c_str());
        return false;
    }
    for (int i = 0; i < kCycles; ++i) {
        std::vector<std::string> addresses;
        int64_t cycle = 0;
        const auto t0 = std::chrono::steady_clock::now();
        error = store->begin_cycle("bench", kPorts, pool, &cycle, &addresses);
        const auto t1 = std::chrono::steady_clock::now();
        if (!error.empty() || addresses.size() != kPorts) {
            std::fprintf(stderr, "station_bench: %s", error.c_str());
            return false;
        }
        ms->push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        store->end_cycle(cycle);
    }
    std::sort(ms->begin(), ms->end());
    return true;
}

// One statement's round trip to the server, median of kCycles, in ms.
double round_trip_ms(const std::string& url) {
    std::string error;
    std::unique_ptr<sql_db> db = pg_connect(url, &error);
    if (db == nullptr) return -1;
    std::vector<double> ms;
    for (int i = 0; i < kCycles; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        db->run("SELECT 1", {}, nullptr);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void print(const char* what, const std::vector<double>& ms) {
    std::printf("reserving %zu addresses in one transaction, %s: median %.2f ms, slowest %.2f ms (%d cycles)\n",
                kPorts, what, ms[ms.size() / 2], ms.back(), kCycles);
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/flint-station-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string file = std::string(tmpl) + "/station.db";
    std::vector<double> sqlite_ms, pg_ms;
    if (!reserve_times("sqlite:" + file, &sqlite_ms)) return 1;
    print("SQLite file", sqlite_ms);
    const std::string rm = std::string("rm -rf ") + tmpl;
    if (std::system(rm.c_str()) != 0) return 1;
    const char* pg = std::getenv("FLINT_TEST_PG");
    if (pg == nullptr) {
        std::printf("reserving on PostgreSQL: skipped (FLINT_TEST_PG names no server; ./dev.sh bench starts one)\n");
        return 0;
    }
    if (!reserve_times(pg, &pg_ms)) return 1;
    print("PostgreSQL server", pg_ms);
    std::printf("one round trip to the PostgreSQL server (SELECT 1): median %.2f ms\n", round_trip_ms(pg));
    return 0;
}
