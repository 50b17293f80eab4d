// Windows has no SOCK_SEQPACKET Unix sockets: the message socket of the USB
// access object's simulation backend is not available, so every call fails.
#include "platform/platform.h"

bool plat_msgsock_available() { return false; }

int plat_msgsock_connect(const char*) { return -1; }

int plat_msgsock_send(int, const uint8_t*, uint32_t) { return -1; }

int32_t plat_msgsock_recv(int, uint8_t*, uint32_t, uint32_t) { return -1; }

void plat_msgsock_close(int) {}
