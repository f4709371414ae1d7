// read_line on arbitrary bytes from a real socket: the input goes through a
// loopback connection whose reading end is made by the plugin's own connect,
// and each result is checked against a plain model of the line framing.
#include "falloff/socket_transport.h"
#include "harness/loopback.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
using namespace loopback;

// The whole input must fit the socket buffers: nothing reads while it is sent.
constexpr size_t max_input = 32 * 1024;
constexpr int socket_buffer_size = 256 * 1024;

void check(bool condition) {
    if (!condition) std::abort();
}

native_socket listener = no_socket;
char port_text[port_text_size];

void start_listening() {
    check(platform_network_startup());
    uint16_t port = 0;
    listener = bind_loopback(&port);
    check(listener != no_socket);
    check(listen(listener, 4) == 0);
    std::snprintf(port_text, sizeof port_text, "%d", port);
}

// What read_line must give for the bytes from `at` on: the code, the text
// and where the next line starts.
int32_t model_line(const std::string &bytes, size_t *at, std::string *text) {
    text->clear();
    while (*at < bytes.size()) {
        char next = bytes[(*at)++];
        if (next == '\n') return read_line_complete;
        if (next != '\r') text->push_back(next);
        if (text->size() + 1 >= line_buffer_size) return read_line_too_long;
    }
    return read_line_closed;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (listener == no_socket) start_listening();
    if (size > max_input) size = max_input;
    std::string bytes(reinterpret_cast<const char *>(data), size);

    platform_socket reader = platform_invalid_socket;
    check(platform_tcp_connect("127.0.0.1", port_text, falloff_io_timeout_ms, &reader, nullptr));
    native_socket writer = accept(listener, nullptr, nullptr);
    check(writer != no_socket);
    int buffer_size = socket_buffer_size;
    setsockopt(writer, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&buffer_size), sizeof buffer_size);
    setsockopt(static_cast<native_socket>(reader), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&buffer_size),
               sizeof buffer_size);
    for (size_t sent = 0; sent < size;) {
        int n = send(writer, bytes.data() + sent, static_cast<int>(size - sent), 0);
        check(n > 0);
        sent += static_cast<size_t>(n);
    }
    // The end of the input reads as the peer closing.
    shutdown(writer, shut_write);

    size_t at = 0;
    for (;;) {
        char line[line_buffer_size];
        std::memset(line, 0x5a, sizeof line);
        int32_t error = -1;
        int32_t code = read_line(reader, line, &error);
        check(code >= read_line_complete && code <= read_line_failed);
        check(std::memchr(line, '\0', sizeof line) != nullptr);
        std::string expected;
        int32_t expected_code = model_line(bytes, &at, &expected);
        check(code == expected_code);
        check(error == 0);
        check(std::memcmp(line, expected.data(), expected.size()) == 0 && line[expected.size()] == '\0');
        if (code != read_line_complete) break;
    }

    // An abortive close of the writing end, before the reading end closes,
    // leaves no TIME_WAIT behind, so a long run does not use the ports up.
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(writer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof abort);
    close_native(writer);
    platform_socket_close(reader);
    return 0;
}
