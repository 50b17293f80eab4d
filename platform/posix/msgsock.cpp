// Message sockets: connected AF_UNIX SOCK_SEQPACKET sockets, one message per
// send and per receive, for the USB access object's simulated device.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/platform.h"

bool plat_msgsock_available() { return true; }

int plat_msgsock_connect(const char* path) {
    if (path == nullptr) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t len = std::strlen(path);
    if (len == 0 || len >= sizeof addr.sun_path) return -1;  // never cut a path
    std::memcpy(addr.sun_path, path, len + 1);
    const int sock = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    int r;
    do {
        r = connect(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

int plat_msgsock_send(int sock, const uint8_t* buf, uint32_t n) {
    if (sock < 0 || (buf == nullptr && n != 0)) return -1;
    ssize_t w;
    do {
        w = send(sock, buf, n, MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR);
    return w == static_cast<ssize_t>(n) ? 0 : -1;
}

// A message longer than cap is consumed whole; its real length (more than
// cap) is returned so the caller sees that it did not fit.
int32_t plat_msgsock_recv(int sock, uint8_t* buf, uint32_t cap, uint32_t timeout_ms) {
    if (sock < 0 || (buf == nullptr && cap != 0)) return -1;
    pollfd p{sock, POLLIN, 0};
    const int timeout = timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
    int ready;
    do {
        ready = poll(&p, 1, timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return -1;
    ssize_t r;
    do {
        r = recv(sock, buf, cap, MSG_TRUNC);
    } while (r < 0 && errno == EINTR);
    if (r < 0 || r > INT32_MAX) return -1;
    return static_cast<int32_t>(r);
}

void plat_msgsock_close(int sock) {
    if (sock >= 0) close(sock);
}
