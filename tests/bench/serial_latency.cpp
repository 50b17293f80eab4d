// Latency of one request/response round trip through the serial port layer
// on a pseudo-terminal: the host writes a 10-byte request and reads a 10-byte
// response that a far-end thread sends back as soon as the request is in.
// Prints the median and the spread in microseconds. The read time-outs are
// the ones in force after a connect (common/timing.h), so any
// time the layer added while waiting would show here.
//
//   serial_latency [rounds]     (default 2000)
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "link/serial_port.h"

namespace {

constexpr uint32_t FRAME_BYTES = 10;
constexpr int DEFAULT_ROUNDS = 2000;
constexpr int WARM_UP_ROUNDS = 50;

// Reads exactly n bytes from a blocking descriptor; false at end of input.
bool read_exact(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// The far end: answers every 10-byte request with its bytes inverted.
void far_end(int master, int rounds) {
    uint8_t buf[FRAME_BYTES];
    for (int i = 0; i < rounds; ++i) {
        if (!read_exact(master, buf, sizeof buf)) return;
        for (uint8_t& b : buf) b = static_cast<uint8_t>(~b);
        if (write(master, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf)) return;
    }
}

double percentile(const std::vector<double>& sorted, double p) {
    const size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : DEFAULT_ROUNDS;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    plat_serial_handle port = com_open(ptsname(master));
    if (port == nullptr || com_configure(port, 115200) != 0 || com_set_timeouts(port, COM_READ_CONSTANT_MS) != 0) {
        std::fprintf(stderr, "cannot open the pseudo-terminal as a serial port\n");
        return 1;
    }

    const int total = rounds + WARM_UP_ROUNDS;
    std::thread peer(far_end, master, total);
    std::vector<double> us;
    us.reserve(static_cast<size_t>(rounds));
    uint8_t request[FRAME_BYTES];
    uint8_t response[FRAME_BYTES];
    int failures = 0;
    for (int i = 0; i < total; ++i) {
        for (uint32_t k = 0; k < FRAME_BYTES; ++k) request[k] = static_cast<uint8_t>(i + k);
        const auto start = std::chrono::steady_clock::now();
        com_purge(port);
        const bool ok = com_write(port, request, FRAME_BYTES) == FRAME_BYTES &&
                        com_read(port, response, FRAME_BYTES) == FRAME_BYTES;
        const auto end = std::chrono::steady_clock::now();
        if (!ok || response[0] != static_cast<uint8_t>(~request[0])) {
            ++failures;
            continue;
        }
        if (i >= WARM_UP_ROUNDS) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    peer.join();
    com_close(port);
    close(master);

    if (us.empty()) {
        std::fprintf(stderr, "no round trip completed (%d failures)\n", failures);
        return 1;
    }
    std::sort(us.begin(), us.end());
    std::printf("serial_latency: %zu round trips of %u + %u bytes on a pty\n", us.size(), FRAME_BYTES,
                FRAME_BYTES);
    std::printf("  median %.1f us, p10 %.1f us, p90 %.1f us, p99 %.1f us, min %.1f us, max %.1f us\n",
                percentile(us, 0.5), percentile(us, 0.1), percentile(us, 0.9), percentile(us, 0.99),
                us.front(), us.back());
    std::printf("  failures: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
