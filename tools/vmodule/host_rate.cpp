// Kept apart: <asm/termbits.h> (termios2, any integer rate) cannot share a
// translation unit with <termios.h>.
#include "tools/vmodule/host_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

uint32_t host_rate(int master_fd) {
    struct termios2 t {};
    if (ioctl(master_fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}
