// vmodule: a virtual module at the other end of a pseudo-terminal and of a
// USB message socket, for tests and for dry runs without hardware.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tools/vmodule/line.h"
#include "tools/vmodule/usb_server.h"

namespace {

const char kReady[] = "vmodule ready: %s\n";

pid_t g_child = -1;
void forward_signal(int sig) {
    if (g_child > 0) kill(g_child, sig);
}

// The module must lead its own session to make the pty its controlling
// terminal. A process group leader cannot call setsid, so it runs the module
// in a child, passes SIGTERM/SIGINT on and returns the child's exit code.
int become_session_leader() {
    if (getsid(0) == getpid()) return -1;
    if (setsid() >= 0) return -1;
    g_child = fork();
    if (g_child < 0) {
        std::perror("vmodule: fork");
        return 1;
    }
    if (g_child == 0) {
        setsid();
        return -1;
    }
    std::signal(SIGTERM, forward_signal);
    std::signal(SIGINT, forward_signal);
    int status = 0;
    while (waitpid(g_child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int block_exit_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

timespec until(double dt) {
    if (dt < 0) dt = 0;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(dt);
    ts.tv_nsec = static_cast<long>((dt - std::floor(dt)) * 1e9);
    return ts;
}

int run(vm_options& opt) {
    event_log log;
    std::string why = log.open(opt.log_file, opt.verbose);
    module_core core(opt, log);
    if (why.empty()) why = core.open_stores();
    if (!why.empty()) {
        std::fprintf(stderr, "vmodule: %s\n", why.c_str());
        return 1;
    }
    int sig_fd = block_exit_signals();
    serial_line line(core, opt);
    why = line.open();
    std::unique_ptr<usb_server> usb;
    if (why.empty() && !opt.usb_socket.empty()) {
        usb = std::make_unique<usb_server>(core, opt.usb_socket);
        why = usb->open();
    }
    if (!why.empty() || sig_fd < 0) {
        std::fprintf(stderr, "vmodule: %s\n", why.empty() ? "signalfd failed" : why.c_str());
        return 1;
    }
    std::printf(kReady, line.slave_path().c_str());
    std::fflush(stdout);

    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({sig_fd, POLLIN, 0});
        fds.push_back({line.fd(), static_cast<short>(POLLIN | (line.wants_write() ? POLLOUT : 0)), 0});
        fds.push_back({line.watch_fd(), POLLIN, 0});
        if (usb)
            for (int fd : usb->fds()) fds.push_back({fd, POLLIN, 0});
        double now = now_s();
        double next = line.next_deadline(now);
        if (usb) next = std::min(next, usb->next_deadline(now));
        timespec ts = until(next - now);
        int n = ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (n < 0 && errno != EINTR) {
            std::perror("vmodule: ppoll");
            break;
        }
        now = now_s();
        if (fds[0].revents & POLLIN) {
            log.note("-", "ended by a signal");
            break;
        }
        if (fds[1].revents & POLLOUT) line.on_writable();
        // The host's opens and closes are taken first: bytes of a host that
        // opened after the last one closed meet the module after its power cycle.
        if ((fds[1].revents | fds[2].revents) & POLLIN) line.on_watch();
        if (fds[1].revents & POLLIN) line.on_readable(now);
        for (size_t i = 3; i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) usb->on_readable(fds[i].fd, now);
        line.tick(now);
        if (usb) usb->tick(now);
    }
    core.sync_stores();
    close(sig_fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vm_options opt;
    int rc = parse_options(argc, argv, opt);
    if (rc >= 0) return rc;
    rc = become_session_leader();
    if (rc >= 0) return rc;
    return run(opt);
}
