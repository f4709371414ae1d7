// read_line on arbitrary bytes from a real socket: the input goes through a
// loopback connection whose reading end is made by the plugin's own connect,
// and each result is checked against a plain model of the line framing.
//
// The first byte of an input says how its stream ends; the rest is the
// stream. Odd: the peer closes, and the next input gets a new connection.
// Even: the peer stays and the reader finds nothing more to read (a
// non-blocking receive, which read_line sees as its time-out), and the
// connection serves the next input too, so most inputs cost no connect.
#include "falloff/socket_transport.h"
#include "harness/loopback.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
using namespace loopback;

// The whole input must fit the socket buffers: nothing reads while it is sent.
constexpr size_t max_input = 32 * 1024;
constexpr int socket_buffer_size = 256 * 1024;
// Loopback delivery is all but immediate; this only bounds a broken one.
constexpr auto arrival_limit = std::chrono::seconds(5);

void check(bool condition) {
    if (!condition) std::abort();
}

native_socket listener = no_socket;
char port_text[port_text_size];

struct connection {
    platform_socket reader = platform_invalid_socket;
    native_socket writer = no_socket;
    bool reader_blocks = true;
};
connection current;

native_socket native(platform_socket s) { return static_cast<native_socket>(s); }

void start_listening() {
    check(platform_network_startup());
    uint16_t port = 0;
    listener = bind_loopback(&port);
    check(listener != no_socket);
    check(listen(listener, 4) == 0);
    std::snprintf(port_text, sizeof port_text, "%d", port);
}

void open_link() {
    check(platform_tcp_connect("127.0.0.1", port_text, falloff_io_timeout_ms, &current.reader, nullptr));
    current.writer = accept(listener, nullptr, nullptr);
    check(current.writer != no_socket);
    current.reader_blocks = true;
    int buffer_size = socket_buffer_size;
    setsockopt(current.writer, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&buffer_size), sizeof buffer_size);
    setsockopt(native(current.reader), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&buffer_size),
               sizeof buffer_size);
}

// An abortive close of the writing end, before the reading end closes,
// leaves no TIME_WAIT behind, so a long run does not use the ports up.
void close_link() {
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(current.writer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof abort);
    close_native(current.writer);
    platform_socket_close(current.reader);
    current = connection{};
}

void set_reader_blocking(bool blocking) {
    if (current.reader_blocks == blocking) return;
    check(set_blocking(native(current.reader), blocking));
    current.reader_blocks = blocking;
}

// A non-blocking read before everything sent has arrived would look like a
// time-out the model does not expect.
void wait_for_arrival(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + arrival_limit;
    for (;;) {
        long unread = unread_bytes(native(current.reader));
        check(unread >= 0 && static_cast<size_t>(unread) <= count);
        if (static_cast<size_t>(unread) == count) return;
        check(std::chrono::steady_clock::now() < deadline);
        std::this_thread::yield();
    }
}

// The stream's end as read_line must report it: the peer closing, or the
// platform's error for a receive that would block, which read_line counts
// as a time-out exactly when the platform calls it one.
int32_t end_code(bool peer_closes, size_t stored, int32_t *error) {
    *error = 0;
    if (peer_closes) return read_line_closed;
    *error = would_block_error;
    if (!platform_error_is_timeout(*error)) return read_line_failed;
    return stored == 0 ? read_line_idle_timeout : read_line_partial_timeout;
}

// What read_line must give for the bytes from *at on: the code, the line in
// `text` (its length in *length) and the error; *at moves to where the next
// line starts.
int32_t model_line(const char *bytes, size_t size, size_t *at, bool peer_closes, char *text, size_t *length,
                   int32_t *error) {
    *length = 0;
    *error = 0;
    while (*at < size) {
        char next = bytes[(*at)++];
        if (next == '\n') return read_line_complete;
        if (next != '\r') text[(*length)++] = next;
        if (*length + 1 >= line_buffer_size) return read_line_too_long;
    }
    return end_code(peer_closes, *length, error);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (listener == no_socket) start_listening();
    if (current.writer == no_socket) open_link();
    const bool peer_closes = size > 0 && (data[0] & 1) != 0;
    const char *bytes = reinterpret_cast<const char *>(data) + (size > 0 ? 1 : 0);
    size = size > 0 ? size - 1 : 0;
    if (size > max_input) size = max_input;

    for (size_t sent = 0; sent < size;) {
        int n = send(current.writer, bytes + sent, static_cast<int>(size - sent), 0);
        check(n > 0);
        sent += static_cast<size_t>(n);
    }
    if (peer_closes) {
        shutdown(current.writer, shut_write);
        set_reader_blocking(true);
    } else {
        wait_for_arrival(size);
        set_reader_blocking(false);
    }

    // Every line to the stream's end, past a line that was too long too: a
    // kept connection must start the next input empty.
    static char expected[line_buffer_size];
    size_t at = 0;
    for (;;) {
        size_t length = 0;
        int32_t expected_error = 0;
        int32_t expected_code = model_line(bytes, size, &at, peer_closes, expected, &length, &expected_error);
        // Stale bytes where read_line must write cannot pass for its output.
        char line[line_buffer_size];
        std::memset(line, 0x5a, length + 1);
        int32_t error = -1;
        int32_t code = read_line(current.reader, line, &error);
        check(code == expected_code);
        check(error == expected_error);
        check(std::memcmp(line, expected, length) == 0 && line[length] == '\0');
        if (code != read_line_complete && code != read_line_too_long) break;
    }

    if (peer_closes) close_link();
    return 0;
}
