#include "full_queue.h"

#include "loopback.h"

namespace {
using namespace loopback;

// A connect not done within this is taken as stalled (loopback answers in
// well under a millisecond when the queue has room).
constexpr int stall_ms = 300;
// Linux queues backlog + 1; other systems a few more. Far beyond either.
constexpr int max_fillers = 64;

// Starts a connect to 127.0.0.1:port; true when it completed within stall_ms.
bool connect_completes(native_socket s, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return true;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{};
    tv.tv_sec = stall_ms / 1000;
    tv.tv_usec = (stall_ms % 1000) * 1000;
    return select(static_cast<int>(s) + 1, nullptr, &writable, &failed, &tv) > 0;
}

}  // namespace

full_queue_port::full_queue_port() {
    network_started_ = network_start();
    native_socket listener = bind_loopback(&port_);
    if (listener == no_socket) return;
    listener_ = static_cast<intptr_t>(listener);
    if (listen(listener, 0) != 0) return;
    for (int i = 0; i < max_fillers && !full_; ++i) {
        native_socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == no_socket || !set_blocking(s, false)) {
            if (s != no_socket) close_native(s);
            return;
        }
        fillers_.push_back(static_cast<intptr_t>(s));
        // The first connect that stays pending shows the queue is full; it
        // stays open too, so its retries keep finding the queue full.
        full_ = !connect_completes(s, port_);
    }
}

full_queue_port::~full_queue_port() {
    for (intptr_t s : fillers_)
        close_native(static_cast<native_socket>(s));
    if (listener_ != -1) close_native(static_cast<native_socket>(listener_));
    if (network_started_) network_stop();
}
