// Winsock 2.2 start and clean-up, and the shutdown that wakes a blocked recv.
#include "../platform.h"

#include <winsock2.h>

bool platform_network_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void platform_network_cleanup() { WSACleanup(); }

void platform_socket_shutdown(platform_socket s) {
    if (s != platform_invalid_socket) shutdown(static_cast<SOCKET>(s), SD_BOTH);
}
