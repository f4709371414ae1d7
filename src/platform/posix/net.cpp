// BSD sockets: no layer to start; shutdown wakes a blocked receive. Sends use
// MSG_NOSIGNAL so a peer that went away never raises SIGPIPE in the host.
#include "../platform.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace {
// One call moves at most this much, so its count fits the int result.
constexpr size_t max_io_chunk = INT_MAX;

int fd_of(platform_socket s) { return static_cast<int>(s); }

void set_timeout(int fd, int option, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000u);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000u) * 1000u);
    (void)setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

uint64_t real_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

bool set_blocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for a non-blocking connect in slices, asking `cancel` before each,
// so a caller that is told to stop is not held for the whole time-out.
bool finish_connect(int fd, uint32_t real_timeout_ms, platform_connect_cancel_fn cancel) {
    uint64_t start = real_now_ms();
    for (;;) {
        if (cancel && cancel()) return false;
        uint64_t elapsed = real_now_ms() - start;
        if (elapsed >= real_timeout_ms) return false;
        uint64_t left = real_timeout_ms - elapsed;
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, static_cast<int>(left < platform_connect_slice_ms ? left : platform_connect_slice_ms));
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 1) break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

bool connect_one(const addrinfo *address, uint32_t real_timeout_ms, platform_connect_cancel_fn cancel, int *out) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address->ai_protocol);
    if (fd < 0) return false;
    bool connected = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ||
                     ((errno == EINPROGRESS || errno == EINTR) && finish_connect(fd, real_timeout_ms, cancel));
    // The rest of the link uses blocking calls bounded by these time-outs.
    if (connected && set_blocking(fd, true)) {
        set_timeout(fd, SO_RCVTIMEO, real_timeout_ms);
        set_timeout(fd, SO_SNDTIMEO, real_timeout_ms);
        *out = fd;
        return true;
    }
    close(fd);
    return false;
}
}  // namespace

bool platform_network_startup() { return true; }

void platform_network_cleanup() {}

void platform_socket_shutdown(platform_socket s) {
    if (s != platform_invalid_socket) shutdown(fd_of(s), SHUT_RDWR);
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
        int fd = -1;
        if (connect_one(address, real_timeout_ms, cancel, &fd)) {
            *out = fd;
            connected = true;
        }
    }
    freeaddrinfo(list);
    return connected;
}

int platform_socket_send(platform_socket s, const char *data, size_t len) {
    if (len > max_io_chunk) len = max_io_chunk;
    ssize_t n;
    do {
        n = send(fd_of(s), data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int platform_socket_recv(platform_socket s, char *out, size_t len) {
    if (len > max_io_chunk) len = max_io_chunk;
    ssize_t n;
    do {
        n = recv(fd_of(s), out, len, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int32_t platform_socket_error() { return errno; }

bool platform_error_is_timeout(int32_t err) { return err == EAGAIN || err == EWOULDBLOCK; }

void platform_socket_close(platform_socket s) {
    if (s != platform_invalid_socket) close(fd_of(s));
}
