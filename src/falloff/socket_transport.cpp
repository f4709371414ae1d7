#include "socket_transport.h"

#include "../core/logging.h"
#include "../core/plugin_state.h"

#include <cstdio>
#include <cstring>

bool falloff_connect(platform_socket *out) { return falloff_connect_to(g_state.server_host, g_state.server_port, out); }

bool falloff_connect_to(const char *host, int32_t port, platform_socket *out, bool *resolve_failed_out) {
    char port_text[port_text_size];
    std::snprintf(port_text, sizeof port_text, "%d", port);
    // Some resolvers take any number and keep its low 16 bits, which would
    // connect to an unrelated port; a port no address can carry is refused
    // the way the others refuse it.
    bool resolve_failed = port < 0 || port > max_tcp_port;
    platform_socket s = platform_invalid_socket;
    // A connect to a server whose queue is full would otherwise hold a
    // shutdown for its whole time-out.
    if (!resolve_failed &&
        platform_tcp_connect(host, port_text, falloff_io_timeout_ms, &s, &resolve_failed, worker_thread_stopping)) {
        *out = s;
        return true;
    }
    if (resolve_failed_out) *resolve_failed_out = resolve_failed;
    if (resolve_failed) log_debug("falloff resolve failed host=%s port=%s", host, port_text);
    return false;
}

bool falloff_publish(platform_socket s) {
    if (!worker_state_enter()) return false;
    g_state.falloff_socket = s;
    state_lock_leave();
    return true;
}

bool falloff_unpublish_and_close(platform_socket *s) {
    bool current = worker_state_enter();
    if (current) {
        if (g_state.falloff_socket == *s) g_state.falloff_socket = platform_invalid_socket;
        state_lock_leave();
    }
    platform_socket_close(*s);
    *s = platform_invalid_socket;
    return current;
}

bool send_all(platform_socket s, const char *text) {
    size_t length = std::strlen(text);
    size_t sent = 0;
    while (sent < length) {
        int n = platform_socket_send(s, text + sent, length - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    return sent == length;
}

int32_t read_line(platform_socket s, char *buffer, int32_t *error) {
    if (error) *error = 0;
    size_t count = 0;
    for (;;) {
        char byte = 0;
        int received = platform_socket_recv(s, &byte, 1);
        if (received > 0) {
            if (byte == '\n') {
                buffer[count] = '\0';
                return read_line_complete;
            }
            if (byte != '\r') buffer[count++] = byte;
            if (count + 1 >= line_buffer_size) {
                buffer[count] = '\0';
                return read_line_too_long;
            }
            continue;
        }
        buffer[count] = '\0';
        if (received == 0) return read_line_closed;
        int32_t err = platform_socket_error();
        if (error) *error = err;
        if (!platform_error_is_timeout(err)) return read_line_failed;
        return count == 0 ? read_line_idle_timeout : read_line_partial_timeout;
    }
}
