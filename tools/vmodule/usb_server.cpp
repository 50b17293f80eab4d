#include "tools/vmodule/usb_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr size_t kMaxMessage = kMaxLoaderPayload + 64;
constexpr int kBacklog = 4;
constexpr double kIdle = 1e9;
const char kWhere[] = "usb -";
}  // namespace

usb_server::~usb_server() {
    for (session& s : sessions_) close(s.fd);
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        unlink(path_.c_str());
    }
}

std::string usb_server::open() {
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path) return "usb socket path too long: " + path_;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) return std::string("socket: ") + std::strerror(errno);
    unlink(path_.c_str());
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, kBacklog) != 0)
        return "usb socket " + path_ + ": " + std::strerror(errno);
    return "";
}

std::vector<int> usb_server::fds() const {
    std::vector<int> v{listen_fd_};
    for (const session& s : sessions_) v.push_back(s.fd);
    return v;
}

void usb_server::accept_one() {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    sessions_.push_back(session{fd, {}, 0});
    core_.log().note(kWhere, "session opened");
}

void usb_server::close_session(size_t i) {
    close(sessions_[i].fd);
    sessions_.erase(sessions_.begin() + static_cast<long>(i));
    core_.log().note(kWhere, "session closed");
}

void usb_server::on_readable(int fd, double now) {
    if (fd == listen_fd_) return accept_one();
    for (size_t i = 0; i < sessions_.size(); ++i) {
        if (sessions_[i].fd != fd) continue;
        std::vector<uint8_t> msg(kMaxMessage);
        ssize_t n = recv(fd, msg.data(), msg.size(), MSG_TRUNC);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return close_session(i);
        if (n < 0) return;
        session& s = sessions_[i];
        answer a;
        if (static_cast<size_t>(n) > msg.size()) {
            core_.log().note(kWhere, "request of " + std::to_string(n) + " bytes is too long");
            a = core_.loader_refusal(0, loader_status::bad_length, kWhere);
        } else {
            core_.log().bytes("rx", kWhere, msg.data(), static_cast<size_t>(n));
            a = core_.loader_request(msg.data(), static_cast<size_t>(n), kWhere);
        }
        // USB sessions always reach the loader: a reboot restarts the module
        // into it again, which the log shows as on the serial line.
        if (a.after == answer::then::reset) core_.log().note(kWhere, "restart: loader runs (USB)");
        if (!a.has) return;
        double start = std::max(now, s.busy_until);
        s.busy_until = start + a.busy_s;
        s.out.push_back({std::move(a.bytes), s.busy_until});
        serve(s, now);
        return;
    }
}

// Sends the answers that are due, one message each; an emptied answer is lost.
void usb_server::serve(session& s, double now) {
    while (!s.out.empty() && s.out.front().at <= now) {
        pending& p = s.out.front();
        if (!p.bytes.empty()) {
            core_.log().bytes("tx", kWhere, p.bytes.data(), p.bytes.size());
            if (send(s.fd, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL) < 0)
                core_.log().note(kWhere, std::string("send failed: ") + std::strerror(errno));
        }
        s.out.pop_front();
    }
}

void usb_server::tick(double now) {
    for (session& s : sessions_) serve(s, now);
}

double usb_server::next_deadline(double now) const {
    double t = now + kIdle;
    for (const session& s : sessions_)
        if (!s.out.empty()) t = std::min(t, s.out.front().at);
    return t;
}
