// POSIX serial ports with the observable behaviour of the Win32 calls the tool
// was built on: COMn names, an exclusive raw port, and reads and writes bounded
// by a COMMTIMEOUTS-style record, all waits done with poll().
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cwchar>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "platform/posix/serial_line.h"
#include "platform/posix/serial_names.h"
#include "platform/posix/wide_text.h"

struct plat_serial {
    int fd;
    plat_serial_timeouts timeouts;
};

namespace {

// COMn names map as Wine maps them: 32 ports per device family.
struct com_range {
    unsigned first;
    unsigned last;
    const char* device_prefix;
};
constexpr com_range COM_RANGES[] = {
    {1, 32, "/dev/ttyS"},
    {33, 64, "/dev/ttyUSB"},
    {65, 96, "/dev/ttyACM"},
};
constexpr size_t COM_DIGITS_MAX = 2;

// Win32 meaning of an all-ones interval with no total limit: return at once
// with what has arrived.
constexpr uint32_t TIMEOUT_MAXDWORD = 0xFFFFFFFFu;

using ms_t = int64_t;

ms_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ms_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// "COM7" (any case, 1 to 96, no leading zero) -> its device path; "" when the
// name is not such a name.
std::string com_path(const char* name) {
    if (strncasecmp(name, "com", 3) != 0) return std::string();
    const char* digits = name + 3;
    const size_t len = std::strlen(digits);
    if (len == 0 || len > COM_DIGITS_MAX || digits[0] == '0') return std::string();
    for (size_t i = 0; i < len; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(digits[i]))) return std::string();
    }
    const unsigned n = static_cast<unsigned>(std::atoi(digits));
    for (const com_range& r : COM_RANGES) {
        if (n >= r.first && n <= r.last) return r.device_prefix + std::to_string(n - r.first);
    }
    return std::string();
}

// Milliseconds a transfer of n bytes may take in all; -1 means no limit.
ms_t total_limit(uint32_t constant, uint32_t multiplier, uint32_t n) {
    if (constant == 0 && multiplier == 0) return -1;
    return static_cast<ms_t>(constant) + static_cast<ms_t>(multiplier) * n;
}

// Waits for `events` up to `wait` ms (-1: no limit). >0 ready, 0 time-out,
// -1 error or hang-up without the event.
int wait_for(int fd, short events, ms_t wait) {
    pollfd p{fd, events, 0};
    const int timeout = wait < 0 ? -1 : static_cast<int>(wait > INT32_MAX ? INT32_MAX : wait);
    const int r = poll(&p, 1, timeout);
    if (r < 0) return errno == EINTR ? 1 : -1;  // after a signal the caller re-checks
    if (r == 0) return 0;
    return (p.revents & events) ? 1 : -1;       // POLLHUP, POLLERR or POLLNVAL alone
}

// The smaller of two limits, where -1 means none.
ms_t min_limit(ms_t a, ms_t b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return a < b ? a : b;
}

// How long a read may still wait for its next byte: the rest of the total
// limit, and once a byte arrived (last_byte >= 0) the rest of the interval.
// -1 means no limit; 0 means the read is over.
ms_t read_wait(const plat_serial_timeouts& t, ms_t total, ms_t start, ms_t last_byte) {
    const ms_t now = now_ms();
    ms_t wait = -1;
    if (total >= 0) wait = total > now - start ? total - (now - start) : 0;
    if (last_byte >= 0 && t.read_interval != 0) {
        const ms_t gap = now - last_byte;
        wait = min_limit(wait, t.read_interval > gap ? t.read_interval - gap : 0);
    }
    return wait;
}

// The termios constant of the rates a tunerlib port is set to; 0 for others.
speed_t posix_speed_constant(uint32_t baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return 0;
    }
}

}  // namespace

std::string posix_serial_device_path(const char* name) {
    if (name == nullptr) return std::string();
    if (name[0] == '/') return name;
    return com_path(name);
}

plat_serial_handle plat_serial_open(const char* name) {
    const std::string path = posix_serial_device_path(name);
    if (path.empty()) return nullptr;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // TIOCEXCL keeps other programs out, but not one with root rights; the
    // lock also refuses a second flint (or any program that locks its port)
    // whatever its rights, as an unshared Windows port does. The lock comes
    // first, so a refused open leaves the port's mode as it was.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return nullptr;
    }
    return new plat_serial{fd, plat_serial_timeouts{0, 0, 0, 0, 0}};
}

int plat_serial_set_line(plat_serial_handle port, uint32_t baud) {
    if (port == nullptr) return -1;
    return posix_serial_set_line(port->fd, baud);
}

int plat_serial_set_timeouts(plat_serial_handle port, const plat_serial_timeouts& t) {
    if (port == nullptr) return -1;
    port->timeouts = t;
    return 0;
}

int plat_serial_get_timeouts(plat_serial_handle port, plat_serial_timeouts& t) {
    if (port == nullptr) return -1;
    t = port->timeouts;
    return 0;
}

// Discards what was received and not yet read. Bytes already written stay:
// a write here hands its bytes to the driver as a completed WriteFile has, so
// flushing the output queue as well would drop a command written just
// before (a command that awaits no answer, followed at once by the next).
void plat_serial_purge(plat_serial_handle port) {
    if (port != nullptr) tcflush(port->fd, TCIFLUSH);
}

// Returns as soon as n bytes are there; after a first byte, when the line is
// silent for longer than the interval; in any case when the total limit has
// passed. Gives back what it has.
uint32_t plat_serial_read(plat_serial_handle port, uint8_t* buf, uint32_t n) {
    uint32_t got = 0;
    plat_serial_read_some(port, buf, n, &got);
    return got;
}

// As plat_serial_read; a read error or a line that hung up (end of file)
// ends the read as a failure, with errno set.
int plat_serial_read_some(plat_serial_handle port, uint8_t* buf, uint32_t n, uint32_t* done) {
    *done = 0;
    if (port == nullptr || buf == nullptr) {
        errno = EBADF;
        return -1;
    }
    const plat_serial_timeouts& t = port->timeouts;
    const bool immediate =
        t.read_interval == TIMEOUT_MAXDWORD && t.read_multiplier == 0 && t.read_constant == 0;
    const ms_t total = total_limit(t.read_constant, t.read_multiplier, n);
    const ms_t start = now_ms();
    ms_t last_byte = start;
    uint32_t got = 0;
    int result = 0;
    while (got < n) {
        const ssize_t r = read(port->fd, buf + got, n - got);
        if (r > 0) {
            got += static_cast<uint32_t>(r);
            last_byte = now_ms();
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || errno != EAGAIN) {  // hung up or failed
            if (r == 0) errno = EIO;
            result = -1;
            break;
        }
        if (immediate) break;
        const ms_t wait = read_wait(t, total, start, got > 0 ? last_byte : -1);
        if (wait == 0) break;
        if (wait_for(port->fd, POLLIN, wait) <= 0) {
            // Time-out, or a hang-up: one more non-blocking read collects any
            // byte that raced the deadline, then the read ends.
            const ssize_t last = read(port->fd, buf + got, n - got);
            if (last > 0) {
                got += static_cast<uint32_t>(last);
            } else if (last == 0 || (last < 0 && errno != EAGAIN && errno != EINTR)) {
                if (last == 0) errno = EIO;
                result = -1;
            }
            break;
        }
    }
    *done = got;
    return result;
}

// Bounded by write_constant + n x write_multiplier ms in all (0/0: no limit).
uint32_t plat_serial_write(plat_serial_handle port, const uint8_t* buf, uint32_t n) {
    uint32_t sent = 0;
    plat_serial_write_some(port, buf, n, &sent);
    return sent;
}

int plat_serial_write_some(plat_serial_handle port, const uint8_t* buf, uint32_t n, uint32_t* done) {
    *done = 0;
    if (port == nullptr || buf == nullptr) {
        errno = EBADF;
        return -1;
    }
    const plat_serial_timeouts& t = port->timeouts;
    const ms_t total = total_limit(t.write_constant, t.write_multiplier, n);
    const ms_t start = now_ms();
    uint32_t sent = 0;
    int result = 0;
    while (sent < n) {
        const ssize_t w = write(port->fd, buf + sent, n - sent);
        if (w > 0) {
            sent += static_cast<uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w == 0 || errno != EAGAIN) {
            if (w == 0) errno = EIO;
            result = -1;
            break;
        }
        const ms_t elapsed = now_ms() - start;
        const ms_t wait = total < 0 ? -1 : (total > elapsed ? total - elapsed : 0);
        if (wait == 0) break;
        const int ready = wait_for(port->fd, POLLOUT, wait);
        if (ready == 0) break;
        if (ready < 0) {
            errno = EIO;
            result = -1;
            break;
        }
    }
    *done = sent;
    return result;
}

void plat_serial_purge_input(plat_serial_handle port, bool /*abort_read*/) {
    // Reads here are never pending while another call runs: there is nothing
    // to abort beyond what the flush discards.
    if (port != nullptr) tcflush(port->fd, TCIFLUSH);
}

uint32_t plat_last_error() { return static_cast<uint32_t>(errno); }

bool plat_serial_port_path(const wchar_t* name, wchar_t* path, size_t cap) {
    const int n = std::swprintf(path, cap, L"/dev/%ls", name);
    return n >= 0 && static_cast<size_t>(n) < cap;
}

plat_serial_handle plat_serial_open_path(const wchar_t* path) {
    std::string narrow;
    if (!posix_utf8(path, narrow)) {
        errno = EINVAL;
        return nullptr;
    }
    if (narrow.empty() || narrow[0] != '/') {
        errno = ENOENT;
        return nullptr;
    }
    return plat_serial_open(narrow.c_str());
}

// The port's settings as read, with the line discipline raw (no echo, no
// line editing, no character translation, no software flow control: a
// Windows port has none of these), then the rate and 8N1. Hardware flow
// control and the modem-line settings stay as read.
int plat_serial_update_line(plat_serial_handle port, uint32_t baud) {
    if (port == nullptr) {
        errno = EBADF;
        return PLAT_LINE_READ_FAILED;
    }
    termios t{};
    if (tcgetattr(port->fd, &t) != 0) return PLAT_LINE_READ_FAILED;
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t speed = posix_speed_constant(baud);
    if (speed == 0 || cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
        errno = EINVAL;
        return PLAT_LINE_WRITE_FAILED;
    }
    if (tcsetattr(port->fd, TCSANOW, &t) != 0) return PLAT_LINE_WRITE_FAILED;
    return 0;
}

void plat_serial_close(plat_serial_handle port) {
    if (port == nullptr) return;
    // Exclusive mode outlives our descriptor on a pseudo-terminal whose other
    // end stays open; clear it so the next open (ours or another program's)
    // is not refused.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    delete port;
}
