// Runs the virtual module beside a benchmark: starts it with the given
// options, waits for its "vmodule ready: PATH" line, and ends it.
#pragma once
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

// What the benchmarks share of the virtual module's model: the loader file
// they download, the line's framing (start, 8 data, stop bits) and the
// flash timing of vmodule --flash-times.
constexpr uint32_t kLoaderBytes = 4096;
constexpr double kBitsPerByte = 10;
constexpr double kSectorEraseS = 0.040;  // per 4 KiB sector
constexpr double kProgramSPerByte = 3e-6;


extern char** environ;

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
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    args.insert(args.begin(), exe);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&m.pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        m.pid = -1;
        return false;
    }
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const std::string ready = "vmodule ready: ";
    if (line.compare(0, ready.size(), ready) != 0) return false;
    m.pty = line.substr(ready.size());
    return true;
}

inline void stop_module(module_process& m) {
    if (m.pid <= 0) return;
    kill(m.pid, SIGTERM);
    waitpid(m.pid, nullptr, 0);
    m.pid = -1;
}
