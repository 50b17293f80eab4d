// Starts a helper program beside a benchmark (the virtual module, the
// simulated golden sample) and waits for the one line it prints once it
// listens, "NAME ready: ...".
#pragma once
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

// Runs `exe` with `args`, its standard output on a pipe, and reads its first
// line. true when that line begins with `ready`; *rest is what follows it.
// *pid is the running program (-1 when it could not start).
inline bool spawn_ready(const std::string& exe, std::vector<std::string> args, const std::string& ready,
                        pid_t* pid, std::string* rest) {
    *pid = -1;
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
    const int rc = posix_spawn(pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        *pid = -1;
        return false;
    }
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (line.compare(0, ready.size(), ready) != 0) return false;
    *rest = line.substr(ready.size());
    return true;
}

// Ends a program spawn_ready started.
inline void stop_spawned(pid_t* pid) {
    if (*pid <= 0) return;
    kill(*pid, SIGTERM);
    waitpid(*pid, nullptr, 0);
    *pid = -1;
}
