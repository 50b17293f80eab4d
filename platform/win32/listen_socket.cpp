// A listening socket's options on Windows: SO_EXCLUSIVEADDRUSE, so no other
// program can bind the port while this one listens on it.
#include <winsock2.h>

#include "platform/platform.h"

void plat_listen_socket_options(uintptr_t socket) {
    BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}
