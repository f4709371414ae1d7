// Winsock 2.2: start and clean-up, a connect that can be given up, send and
// receive with per-call time-outs, and the shutdown that wakes a blocked
// receive.
#include "../platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>

#include <climits>

namespace {
// send and recv take an int length.
constexpr size_t max_io_chunk = INT_MAX;

SOCKET socket_of(platform_socket s) { return static_cast<SOCKET>(s); }

void set_timeout(SOCKET s, int option, uint32_t ms) {
    DWORD value = ms;
    (void)setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char *>(&value), sizeof value);
}

bool set_blocking(SOCKET s, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

// Waits for a non-blocking connect in slices, asking `cancel` before each,
// so a caller that is told to stop is not held for the whole time-out.
// select, not WSAPoll: older WSAPoll never reports a refused connect.
bool finish_connect(SOCKET s, uint32_t real_timeout_ms, platform_connect_cancel_fn cancel) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (cancel && cancel()) return false;
        ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= real_timeout_ms) return false;
        ULONGLONG left = real_timeout_ms - elapsed;
        ULONGLONG slice = left < platform_connect_slice_ms ? left : platform_connect_slice_ms;
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv{};
        tv.tv_sec = static_cast<long>(slice / 1000u);
        tv.tv_usec = static_cast<long>((slice % 1000u) * 1000u);
        int ready = select(0, nullptr, &writable, &failed, &tv);
        if (ready == SOCKET_ERROR) return false;
        if (FD_ISSET(s, &failed)) return false;
        if (FD_ISSET(s, &writable)) return true;
    }
}

bool connect_one(const addrinfo *address, uint32_t real_timeout_ms, platform_connect_cancel_fn cancel, SOCKET *out) {
    SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (s == INVALID_SOCKET) return false;
    bool connected = false;
    if (set_blocking(s, false)) {
        connected = connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0 ||
                    (WSAGetLastError() == WSAEWOULDBLOCK && finish_connect(s, real_timeout_ms, cancel));
    }
    // The rest of the link uses blocking calls bounded by these time-outs.
    if (connected && set_blocking(s, true)) {
        set_timeout(s, SO_RCVTIMEO, real_timeout_ms);
        set_timeout(s, SO_SNDTIMEO, real_timeout_ms);
        *out = s;
        return true;
    }
    closesocket(s);
    return false;
}
}  // namespace

bool platform_network_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void platform_network_cleanup() { WSACleanup(); }

void platform_socket_shutdown(platform_socket s) {
    if (s == platform_invalid_socket) return;
    shutdown(socket_of(s), SD_BOTH);
    // shutdown alone sends the FIN but leaves a receive that is already
    // blocked waiting for the peer; cancelling the socket's pending I/O ends
    // it now, from whichever thread issued it. Nothing pending: no effect.
    CancelIoEx(reinterpret_cast<HANDLE>(socket_of(s)), nullptr);
}

bool platform_tcp_connect(const char *host, const char *port_text, uint32_t timeout_ms, platform_socket *out,
                          bool *resolve_failed, platform_connect_cancel_fn cancel) {
    if (resolve_failed) *resolve_failed = false;
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, port_text, &hints, &list) != 0) {
        if (resolve_failed) *resolve_failed = true;
        return false;
    }
    uint32_t real_timeout_ms = platform_scaled_ms(timeout_ms);
    bool connected = false;
    for (const addrinfo *address = list; address && !connected; address = address->ai_next) {
        SOCKET s = INVALID_SOCKET;
        if (connect_one(address, real_timeout_ms, cancel, &s)) {
            *out = static_cast<platform_socket>(s);
            connected = true;
        }
    }
    freeaddrinfo(list);
    return connected;
}

int platform_socket_send(platform_socket s, const char *data, size_t len) {
    if (len > max_io_chunk) len = max_io_chunk;
    int n = send(socket_of(s), data, static_cast<int>(len), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int platform_socket_recv(platform_socket s, char *out, size_t len) {
    if (len > max_io_chunk) len = max_io_chunk;
    int n = recv(socket_of(s), out, static_cast<int>(len), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int32_t platform_socket_error() { return WSAGetLastError(); }

bool platform_error_is_timeout(int32_t err) { return err == WSAETIMEDOUT; }

void platform_socket_close(platform_socket s) {
    if (s != platform_invalid_socket) closesocket(socket_of(s));
}
