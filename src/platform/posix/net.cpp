// Sockets on POSIX: no layer to start; shutdown wakes a blocked receive.
#include "../platform.h"

#include <sys/socket.h>

bool platform_network_startup() { return true; }

void platform_network_cleanup() {}

void platform_socket_shutdown(platform_socket s) {
    if (s != platform_invalid_socket) shutdown(static_cast<int>(s), SHUT_RDWR);
}
