// Runs the virtual module beside a benchmark: starts it with the given
// options, waits for its "vmodule ready: PATH" line, and ends it.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/timing.h"
#include "spawn_ready.h"

// What the benchmarks share of the virtual module's model: the loader file
// they download, the line's framing (start, 8 data, stop bits) and the
// flash timing of vmodule --flash-times.
constexpr uint32_t kLoaderBytes = 4096;
constexpr double kBitsPerByte = 10;
constexpr double kSectorEraseS = 0.040;  // per 4 KiB sector
constexpr double kProgramSPerByte = 3e-6;
// flint's own fixed pauses: loadfw's after the trigger write and before it
// purges, setbaudrate's after switching the host side.
constexpr double kLoaderPausesS = (LOADFW_REG_WRITE_WAIT_MS + LOADFW_TRIGGER_SETTLE_MS) / 1000.0;
constexpr double kBaudPauseS = LOADER_BAUDRATE_SETTLE_MS / 1000.0;

// A file of `size` bytes of a pattern that `seed` shifts: a loader or an image.
inline void write_file(const std::string& path, uint32_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 9));
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

struct module_process {
    pid_t pid = -1;
    std::string pty;  // the slave path the host opens
};

// $VMODULE, else the vmodule of the build this benchmark belongs to.
inline std::string default_vmodule() {
    if (const char* env = std::getenv("VMODULE")) return env;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "vmodule";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));                // build/tests
    return dir.substr(0, dir.rfind('/')) + "/vmodule";  // build/vmodule
}

inline bool start_module(const std::string& exe, std::vector<std::string> args, module_process& m) {
    return spawn_ready(exe, std::move(args), "vmodule ready: ", &m.pid, &m.pty);
}

inline void stop_module(module_process& m) { stop_spawned(&m.pid); }
