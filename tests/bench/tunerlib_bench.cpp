// tunerlib's two timing figures against their bounds, through the real
// library loaded at run time and the simulated modules (tools/simgolden):
//  - the probe of a silent port: two header reads and the pause between
//    (tunerlib/timing.h);
//  - the calibration chain (GetGoldenInfo, GetDUTInfo, VefifyDUTInfo,
//    StartDUTCalibrate) against its pauses (tunerlib/timing.h) plus
//    the time its bytes take on the wire at 115200 baud (the simulator paces
//    its side at that rate).
// Each figure is the median of RUNS runs; the ratio is figure / bound.
//   tunerlib_bench            (TUNERLIB, SIMGOLDEN override the build's own)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "spawn_ready.h"
#include "tunerlib/exchange.h"
#include "tunerlib/timing.h"
#include "tunerlib/tunerlib.h"

namespace {

constexpr int RUNS = 5;
constexpr unsigned PAYLOAD = 100;
constexpr double BYTE_MS = 10.0 * 1000.0 / 115200.0;
// Two header reads of a silent golden-sample port and the pause between.
constexpr double PROBE_BOUND_MS =
    2 * (REPLY_HEADER_BYTES * READ_MULTIPLIER_MS + GOLDEN_READ_CONSTANT_MS) + PAUSE_MS;
// GetGoldenInfo, GetDUTInfo, VefifyDUTInfo and StartDUTCalibrate.
constexpr double CHAIN_PAUSES_MS = PAUSE_MS + PAUSE_MS + VERIFY_PAUSE_MS + CALIBRATE_PAUSE_MS;

std::string build_dir() {
    const std::string self = plat_exe_path();
    const std::string tests = self.substr(0, self.rfind('/'));
    return tests.substr(0, tests.rfind('/'));
}

std::string setting(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

struct simulator {
    pid_t pid = -1;
    std::vector<std::string> ports;  // relative to /dev
};

bool start(const std::string& exe, std::vector<std::string> args, simulator& sim) {
    std::string paths;
    if (!spawn_ready(exe, std::move(args), "simgolden ready:", &sim.pid, &paths)) return false;
    for (size_t at = 0; at < paths.size();) {
        const size_t next = paths.find(' ', at + 1);
        const std::string path = paths.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (!path.empty()) sim.ports.push_back(path.substr(5));  // without "/dev/"
        at = next == std::string::npos ? paths.size() : next;
    }
    return true;
}

void stop(simulator& sim) { stop_spawned(&sim.pid); }

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F>
F sym(void* lib, const char* name) {
    return reinterpret_cast<F>(plat_library_symbol(lib, name));
}

}  // namespace

int main() {
    const std::string dir = build_dir();
    const std::string library = setting("TUNERLIB", dir + "/libtunerlib.so");
    const std::string simgolden = setting("SIMGOLDEN", dir + "/simgolden");
    void* lib = plat_load_library(library.c_str());
    if (lib == nullptr) {
        std::fprintf(stderr, "tunerlib_bench: cannot load %s\n", library.c_str());
        return 1;
    }
    auto Build = sym<PFN_BuildCalibrateModule>(lib, "BuildCalibrateModule");
    auto Release = sym<PFN_ReleaseCalibrateModule>(lib, "ReleaseCalibrateModule");
    auto Ports = sym<PFN_GetComPortInfo>(lib, "GetComPortInfo");
    auto Find = sym<PFN_FindDevicePortId>(lib, "FindDevicePortId");
    auto OpenGolden = sym<PFN_OpenGoldenSamplePort>(lib, "OpenGoldenSamplePort");
    auto OpenDut = sym<PFN_OpenDUTPort>(lib, "OpenDUTPort");
    auto Golden = sym<PFN_GetGoldenInfo>(lib, "GetGoldenInfo");
    auto Dut = sym<PFN_GetDUTInfo>(lib, "GetDUTInfo");
    auto Verify = sym<PFN_VefifyDUTInfo>(lib, "VefifyDUTInfo");
    auto Calibrate = sym<PFN_StartDUTCalibrate>(lib, "StartDUTCalibrate");
    plat_set_env("TUNERLIB_LOG", "/dev/null");

    simulator sim;
    const std::string payload = std::to_string(PAYLOAD);
    if (!start(simgolden, {"--pace", "silent", "golden,payload=" + payload, "dut,payload=" + payload}, sim) ||
        sim.ports.size() != 3) {
        std::fprintf(stderr, "tunerlib_bench: cannot start %s\n", simgolden.c_str());
        return 1;
    }
    int failures = 0;

    // The probe of the silent port alone.
    plat_set_env("TUNERLIB_SERIAL_PORTS", sim.ports[0].c_str());
    Build();
    unsigned char count = 0;
    Ports(&count, nullptr, 0);
    std::vector<double> probe;
    for (int i = 0; i < RUNS; ++i) {
        unsigned char g[4], d[4], gn = 4, dn = 4;
        const double t0 = now_ms();
        failures += Find(g, &gn, d, &dn) != 0 || gn != 0 || dn != 0;
        probe.push_back(now_ms() - t0);
    }
    Release();

    // The chain between the golden sample and the DUT.
    plat_set_env("TUNERLIB_SERIAL_PORTS", (sim.ports[1] + ":" + sim.ports[2]).c_str());
    Build();
    Ports(&count, nullptr, 0);
    failures += OpenGolden(0) != 0 || OpenDut(1) != 0;
    std::vector<double> chain;
    for (int i = 0; i < RUNS; ++i) {
        unsigned char result = 0;
        const double t0 = now_ms();
        failures += Golden(1) != 0 || Dut() != 0 || Verify() != 0 || Calibrate(2, &result) != 0;
        chain.push_back(now_ms() - t0);
    }
    Release();
    stop(sim);

    // Requests: 7, P + 5, P + 5, P + 7; replies: P + 10 three times and 11.
    const unsigned wire_bytes = 7 + (PAYLOAD + 5) * 2 + (PAYLOAD + 7) + (PAYLOAD + 10) * 3 + 11;
    const double chain_bound = CHAIN_PAUSES_MS + wire_bytes * BYTE_MS;
    const double p = median(probe), c = median(chain);
    std::printf("tunerlib probe of a silent port: %.1f ms; bound %.0f ms (two header reads of %u ms and the "
                "%u ms pause); ratio %.3f\n", p, PROBE_BOUND_MS,
                REPLY_HEADER_BYTES * READ_MULTIPLIER_MS + GOLDEN_READ_CONSTANT_MS, PAUSE_MS, p / PROBE_BOUND_MS);
    std::printf("tunerlib calibration chain (payloads of %u bytes): %.1f ms; bound %.1f ms (%.0f ms of pauses and "
                "%u bytes on the wire at 115200 baud, %.1f ms); ratio %.3f\n",
                PAYLOAD, c, chain_bound, CHAIN_PAUSES_MS, wire_bytes, wire_bytes * BYTE_MS, c / chain_bound);
    std::printf("(median of %d runs each)\n", RUNS);
    if (failures != 0) std::fprintf(stderr, "tunerlib_bench: %d calls failed\n", failures);
    return failures == 0 ? 0 : 1;
}
