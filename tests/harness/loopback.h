// Plain sockets for the test-side ends of loopback connections (the
// scripted falloff peer, the read_line fuzz target), where the plugin's own
// platform layer is what is under test and so is not used.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace loopback {
#if defined(_WIN32)
using native_socket = SOCKET;
inline const native_socket no_socket = INVALID_SOCKET;
constexpr int shut_write = SD_SEND;
constexpr int would_block_error = WSAEWOULDBLOCK;
inline void close_native(native_socket s) { closesocket(s); }
inline bool set_blocking(native_socket s, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}
// Bytes that arrived on s and are not read yet, or -1.
inline long unread_bytes(native_socket s) {
    u_long count = 0;
    return ioctlsocket(s, FIONREAD, &count) == 0 ? static_cast<long>(count) : -1;
}
#else
using native_socket = int;
inline const native_socket no_socket = -1;
constexpr int shut_write = SHUT_WR;
constexpr int would_block_error = EWOULDBLOCK;
inline void close_native(native_socket s) { close(s); }
inline bool set_blocking(native_socket s, bool blocking) {
    int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}
// Bytes that arrived on s and are not read yet, or -1.
inline long unread_bytes(native_socket s) {
    int count = 0;
    return ioctl(s, FIONREAD, &count) == 0 ? count : -1;
}
#endif

// The socket layer, where it needs starting (Winsock 2.2).
inline bool network_start() {
#if defined(_WIN32)
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}
inline void network_stop() {
#if defined(_WIN32)
    WSACleanup();
#endif
}

// A socket bound to 127.0.0.1 at a port of the system's choosing, or
// no_socket.
inline native_socket bind_loopback(uint16_t *port) {
    native_socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == no_socket) return no_socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close_native(s);
        return no_socket;
    }
    *port = ntohs(address.sin_port);
    return s;
}
}  // namespace loopback
