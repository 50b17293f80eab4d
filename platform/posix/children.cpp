// POSIX child processes: posix_spawn with the output going through a pipe to
// a thread that writes it into the child's file (and notes a failed write),
// waiting for several children at once with sigtimedwait on SIGCHLD (with
// SIGINT, SIGTERM and SIGHUP blocked too, so an interrupt or a closed
// terminal is one more event to wait for rather than the end of this
// process).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/platform.h"

extern char** environ;

// The copy of a child's output into its file.
struct output_copy {
    int pipe = -1;                       // read end; the child holds the write end
    int file = -1;
    std::atomic<bool> child_ended{false};
    std::string error;                   // the first failed write (or close); read after join
    std::thread thread;
};

struct plat_child {
    pid_t pid;
    bool ended;
    int wait_status;
    output_copy output;
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

// How long the copy waits for more output between looks at the child's end,
// and how long it goes on once the child has ended (a program the child
// started may still hold the pipe open; what it writes later is not waited for).
constexpr int COPY_LOOK_MS = 500;
constexpr int COPY_DRAIN_MS = 2000;

bool write_all(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Gives up once the child has been over for COPY_DRAIN_MS, whatever still comes.
bool drain_over(const output_copy* copy, timespec* ended_at) {
    if (!copy->child_ended) return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (ended_at->tv_sec == 0 && ended_at->tv_nsec == 0) *ended_at = now;
    const long long ms = (now.tv_sec - ended_at->tv_sec) * 1000LL + (now.tv_nsec - ended_at->tv_nsec) / 1000000L;
    return ms >= COPY_DRAIN_MS;
}

void copy_output(output_copy* copy) {
    char buf[65536];
    timespec ended_at{};
    for (;;) {
        if (drain_over(copy, &ended_at)) {
            if (copy->error.empty()) copy->error = PLAT_OUTPUT_HELD;
            break;
        }
        pollfd p{copy->pipe, POLLIN, 0};
        const int r = poll(&p, 1, COPY_LOOK_MS);
        if (r == 0 || (r < 0 && errno == EINTR)) continue;
        const ssize_t n = read(copy->pipe, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        // After a failed write the rest is still taken in: the child must not block.
        if (copy->error.empty() && !write_all(copy->file, buf, static_cast<size_t>(n)))
            copy->error = std::strerror(errno);
    }
    if (close(copy->file) != 0 && copy->error.empty()) copy->error = std::strerror(errno);
    close(copy->pipe);
}

// Waits for the copy to finish (bounded by COPY_DRAIN_MS once the child has ended).
void finish_copy(output_copy* copy) {
    copy->child_ended = true;
    if (copy->thread.joinable()) copy->thread.join();
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
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        close(out);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
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
    close(pipe_ends[1]);
    if (rc != 0) {
        close(pipe_ends[0]);
        close(out);
        if (error) *error = launch.program + ": " + std::strerror(rc);
        return nullptr;
    }
    plat_child* child = new plat_child{pid, false, 0, {}};
    child->output.pipe = pipe_ends[0];
    child->output.file = out;
    child->output.thread = std::thread(copy_output, &child->output);
    return child;
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
    finish_copy(&child->output);
    status->output_error = child->output.error;
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

void plat_child_release(plat_child_handle child) {
    if (child == nullptr) return;
    finish_copy(&child->output);
    delete child;
}

bool plat_stdout_is_terminal() { return isatty(1) == 1; }
