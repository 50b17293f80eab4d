// POSIX child processes: posix_spawn with the output redirected into a file,
// waiting for several children at once with sigtimedwait on SIGCHLD (with
// SIGINT, SIGTERM and SIGHUP blocked too, so an interrupt or a closed
// terminal is one more event to wait for rather than the end of this
// process).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

extern char** environ;

struct plat_child {
    pid_t pid;
    bool ended;
    int wait_status;
};

namespace {

const char* const TEMP_VARIABLE = "TMPDIR";

sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// What a child gets back at its start: the watched signals and SIGPIPE,
// which this process ignores.
sigset_t child_defaults() {
    sigset_t set = watched_signals();
    sigaddset(&set, SIGPIPE);
    return set;
}

bool is_interrupt(int sig) { return sig == SIGINT || sig == SIGTERM || sig == SIGHUP; }

// This process's environment with the launch record's variables replaced or added.
std::vector<std::string> child_environment(const plat_child_launch& launch) {
    std::vector<std::pair<std::string, std::string>> set = launch.env;
    if (!launch.temp_dir.empty()) set.emplace_back(TEMP_VARIABLE, launch.temp_dir);
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        const std::string name(*e, eq != nullptr ? static_cast<size_t>(eq - *e) : std::strlen(*e));
        bool replaced = false;
        for (const auto& v : set) replaced = replaced || v.first == name;
        if (!replaced) out.emplace_back(*e);
    }
    for (const auto& v : set) out.push_back(v.first + "=" + v.second);
    return out;
}

// Collects the child's end when it has ended; true then.
bool reap(plat_child* child) {
    if (child->ended) return true;
    int status = 0;
    const pid_t r = waitpid(child->pid, &status, WNOHANG);
    if (r != child->pid) return false;
    child->ended = true;
    child->wait_status = status;
    return true;
}

}  // namespace

void plat_children_init() {
    const sigset_t set = watched_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    // A reader of the output that went away with the terminal: writing fails
    // instead of ending this process while its children run.
    std::signal(SIGPIPE, SIG_IGN);
}

plat_child_handle plat_child_start(const plat_child_launch& launch, std::string* error) {
    const int out = open(launch.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        if (error) *error = launch.output_path + ": " + std::strerror(errno);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults = child_defaults();
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> env_text = child_environment(launch);
    std::vector<char*> envp, argv;
    for (std::string& e : env_text) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = launch.args;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, launch.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out);
    if (rc != 0) {
        if (error) *error = launch.program + ": " + std::strerror(rc);
        return nullptr;
    }
    return new plat_child{pid, false, 0};
}

plat_wait_result plat_children_wait(plat_child_handle* children, size_t count, uint32_t timeout_ms,
                                    size_t* ended) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    const sigset_t set = watched_signals();
    for (;;) {
        for (size_t i = 0; i < count; ++i) {
            if (children[i] != nullptr && !children[i]->ended && reap(children[i])) {
                *ended = i;
                return PLAT_WAIT_ENDED;
            }
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left_ns = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
        if (left_ns <= 0) return PLAT_WAIT_TIMEOUT;
        const timespec left{static_cast<time_t>(left_ns / 1000000000LL), static_cast<long>(left_ns % 1000000000LL)};
        const int sig = sigtimedwait(&set, nullptr, &left);
        if (is_interrupt(sig)) return PLAT_WAIT_INTERRUPTED;
        // SIGCHLD (look again), a time-out or EINTR: the loop decides.
    }
}

bool plat_child_status_of(plat_child_handle child, plat_child_status* status) {
    if (child == nullptr || !reap(child)) return false;
    const int s = child->wait_status;
    status->exited = WIFEXITED(s);
    status->code = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    status->signal = WIFSIGNALED(s) ? WTERMSIG(s) : 0;
    return true;
}

void plat_child_stop(plat_child_handle child, bool force) {
    if (child == nullptr || child->ended) return;
    kill(child->pid, force ? SIGKILL : SIGTERM);
}

void plat_child_release(plat_child_handle child) { delete child; }

bool plat_stdout_is_terminal() { return isatty(1) == 1; }
