// Raw 8N1 line settings through termios2, so that any integer rate can be set
// (BOTHER), not only those with a B constant.
#include "platform/posix/serial_line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace {

// Every read waits for at least one byte; the caller polls before reading.
constexpr unsigned char LINE_VMIN = 1;

// DTR and RTS inactive. A pseudo-terminal has no modem lines and refuses the
// request; that is not a failure of the line settings.
int drop_modem_lines(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &lines) == 0) return 0;
    return (errno == ENOTTY || errno == EINVAL) ? 0 : -1;
}

}  // namespace

int posix_serial_set_line(int fd, uint32_t baud) {
    if (baud == 0) return -1;  // rate 0 would hang the line up
    struct termios2 tio{};     // built from nothing: all flags off, all characters 0
    tio.c_cflag = BOTHER | CS8 | CREAD | CLOCAL;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    tio.c_cc[VMIN] = LINE_VMIN;
    tio.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &tio) != 0) return -1;
    return drop_modem_lines(fd);
}
