// A scripted far end for protocol tests. It plays the module on the master
// side of a pseudo-terminal (the code under test opens the slave through the
// real serial layer) or behind the USB access object's "sim:" message socket.
// A thread reads each request whole, records it, and answers the next
// scripted step: some bytes, optionally after a delay. Requests that arrive
// after the script ran out are recorded and left unanswered.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/crc16.h"

namespace peer {

using bytes = std::vector<uint8_t>;

// How long a whole request may take to arrive before the peer gives up.
constexpr int REQUEST_WAIT_MS = 30000;

// Length of the first request in `b`, or 0 while that cannot be told yet.
using framer = std::function<size_t(const bytes& b)>;

// The four little-endian bytes of a 32-bit value.
inline bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// The parts one behind the other.
inline bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline uint32_t le32(const bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Loader requests: the length follows from the command code (and, for the
// requests that carry data, from their length field).
inline size_t loader_request_length(const bytes& b) {
    if (b.size() < 3) return 0;
    const uint16_t code = static_cast<uint16_t>(b[1] | (b[2] << 8));
    switch (code) {
    case 0x1000: case 0x1031: case 0x1039: case 0x103C: case 0x103D:
        return 5;
    case 0x1041:
        return 6;
    case 0x1010:
        return 10;
    case 0x1030: case 0x1033: case 0x1035: case 0x1036: case 0x1037: case 0x1038: case 0x103B:
        return 13;
    case 0x1050: case 0x1051:
        return 15;
    case 0x1032: case 0x103A:
        return b.size() < 11 ? 0 : 13 + le32(b, 7);
    case 0x1061:
        return b.size() < 7 ? 0 : 9 + le32(b, 3);
    default:
        return b.size();  // unknown: take what is there as one request
    }
}

// HCI command packets: 4 header bytes and the parameters they announce.
inline size_t hci_request_length(const bytes& b) { return b.size() < 4 ? 0 : 4 + b[3]; }

struct step {
    bytes reply;       // sent whole after the delay; empty: stay silent
    int delay_ms = 0;
    // A loader answer carries the code of the request it answers: the peer
    // writes the request's code into a scripted answer (keeping its CRC
    // sound, or as unsound as scripted). false: the answer goes as written.
    bool echo_code = true;
};

// The loader answer `reply` with the code of `request` in bytes 1 and 2.
inline bytes with_echoed_code(const bytes& request, bytes reply) {
    if (request.size() < 3 || reply.size() < 5 || request[0] != 0x87 || reply[0] != 0x87)
        return reply;
    const uint32_t body = static_cast<uint32_t>(reply.size() - 2);
    const uint16_t stored = static_cast<uint16_t>(reply[body] | (reply[body + 1] << 8));
    const bool sound = crc16(0, reply.data(), body) == stored;
    reply[1] = request[1];
    reply[2] = request[2];
    if (sound) {
        const uint16_t crc = crc16(0, reply.data(), body);
        reply[body] = static_cast<uint8_t>(crc);
        reply[body + 1] = static_cast<uint8_t>(crc >> 8);
    }
    return reply;
}

// Makes a step from the request when the script is empty (optional).
using responder = std::function<step(const bytes& request)>;

class scripted_peer {
public:
    virtual ~scripted_peer() = default;

    void script(std::vector<step> steps) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (step& s : steps) steps_.push_back(std::move(s));
    }
    void respond_with(responder r) {
        std::lock_guard<std::mutex> lock(mutex_);
        responder_ = std::move(r);
    }

    // Stops the thread (after taking in what the host already wrote) and
    // returns every request received, in order.
    std::vector<bytes> finish() {
        stop();
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

protected:
    void start() {
        if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }

    void stop() {
        if (!thread_.joinable()) return;
        stopping_ = true;
        if (wake_[1] >= 0) {
            const char c = 0;
            (void)!write(wake_[1], &c, 1);
        }
        thread_.join();
        for (int& fd : wake_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }

    // Reads what is available (waiting at most wait_ms for it) into pending_;
    // false when nothing more can come.
    virtual bool pull(int wait_ms) = 0;
    virtual void push(const bytes& reply) = 0;

    // Waits up to wait_ms for `fd` or the wake pipe; true when fd is readable.
    bool wait_readable(int fd, int wait_ms) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int n = poll(p, stopping_ ? 1 : 2, wait_ms);
        return n > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }

    bytes pending_;
    framer framer_;

private:
    // The next whole request, or false when the peer is stopping or the
    // request did not arrive in time.
    bool next_request(bytes& request) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(REQUEST_WAIT_MS);
        for (;;) {
            const size_t n = framer_(pending_);
            if (n != 0 && pending_.size() >= n) {
                request.assign(pending_.begin(), pending_.begin() + static_cast<long>(n));
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
                return true;
            }
            if (stopping_) {
                // Take in what is already there, without waiting.
                if (!pull(0)) {
                    if (pending_.empty()) return false;
                    request.swap(pending_);
                    pending_.clear();
                    return true;
                }
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            pull(static_cast<int>(left));
        }
    }

    void run() {
        bytes request;
        while (next_request(request)) {
            step s;
            bool have = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
                if (!steps_.empty()) {
                    s = std::move(steps_.front());
                    steps_.pop_front();
                    have = true;
                } else if (responder_) {
                    s = responder_(request);
                    have = true;
                }
            }
            if (!have || stopping_) continue;
            if (s.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.delay_ms));
            if (!s.reply.empty()) push(s.echo_code ? with_echoed_code(request, s.reply) : s.reply);
        }
    }

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::deque<step> steps_;
    responder responder_;
    std::vector<bytes> requests_;
};

// The module on the master side of a pseudo-terminal.
class pty_peer : public scripted_peer {
public:
    explicit pty_peer(framer f) {
        framer_ = std::move(f);
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        path_ = ptsname(master_);
        // Held open for the peer's life so the master never sees a hang-up
        // between the host's close and reopen; raw until the host sets it.
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        if (slave_ >= 0 && tcgetattr(slave_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave_, TCSANOW, &t);
        }
        start();
    }
    ~pty_peer() override {
        stop();
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    pty_peer(const pty_peer&) = delete;
    pty_peer& operator=(const pty_peer&) = delete;

    const std::string& path() const { return path_; }
    bool ok() const { return master_ >= 0 && slave_ >= 0; }

protected:
    bool pull(int wait_ms) override {
        if (!wait_readable(master_, wait_ms)) return false;
        uint8_t buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        pending_.insert(pending_.end(), buf, buf + n);
        return true;
    }
    void push(const bytes& reply) override {
        size_t done = 0;
        while (done < reply.size()) {
            const ssize_t n = write(master_, reply.data() + done, reply.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The module behind a SOCK_SEQPACKET socket, as the USB access object's
// "sim:" backend reaches it: one message per request and per response.
class seqpacket_peer : public scripted_peer {
public:
    explicit seqpacket_peer(const std::string& path) : path_(path) {
        // Each pull takes in one whole message, and only when nothing is pending.
        framer_ = [](const bytes& b) { return b.size(); };
        unlink(path_.c_str());
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 1) != 0) {
            return;
        }
        ok_ = true;
        start();
    }
    ~seqpacket_peer() override {
        stop();
        if (conn_ >= 0) close(conn_);
        if (listener_ >= 0) close(listener_);
        unlink(path_.c_str());
    }
    seqpacket_peer(const seqpacket_peer&) = delete;
    seqpacket_peer& operator=(const seqpacket_peer&) = delete;

    std::string device() const { return "sim:" + path_; }
    bool ok() const { return ok_; }

protected:
    bool pull(int wait_ms) override {
        if (conn_ < 0) {
            if (!wait_readable(listener_, wait_ms)) return false;
            conn_ = accept(listener_, nullptr, nullptr);
            return conn_ >= 0;
        }
        if (!wait_readable(conn_, wait_ms)) return false;
        bytes buf(70000);
        const ssize_t n = recv(conn_, buf.data(), buf.size(), 0);
        if (n <= 0) return false;
        pending_.insert(pending_.end(), buf.begin(), buf.begin() + n);
        return true;
    }
    void push(const bytes& reply) override {
        if (conn_ >= 0) (void)!send(conn_, reply.data(), reply.size(), 0);
    }

private:
    std::string path_;
    int listener_ = -1;
    int conn_ = -1;
    bool ok_ = false;
};

}  // namespace peer
