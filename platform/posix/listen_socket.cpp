// A listening socket's options on Linux: SO_REUSEADDR alone (SO_REUSEPORT
// would let a second program listen on the same port unnoticed).
#include <sys/socket.h>

#include "platform/platform.h"

void plat_listen_socket_options(uintptr_t socket) {
    int yes = 1;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}
