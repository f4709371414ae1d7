// The three blocking operations of the falloff link: connect to the
// configured server, send one whole message, read one LF-ended line. They run
// on the falloff worker only and share nothing but the fixed configuration.
#pragma once

#include "../platform/platform.h"

#include <cstddef>
#include <cstdint>

// The caller's line buffer. A line holds at most line_buffer_size - 2
// characters; the reader gives up as soon as one more is stored.
constexpr size_t line_buffer_size = 8192;
// Bounds every single send and receive call on a falloff socket.
constexpr uint32_t falloff_io_timeout_ms = 5000;
// server_port as decimal text, for name resolution.
constexpr size_t port_text_size = 32;
// Ports a TCP address can carry; others are refused as unresolvable.
constexpr int32_t max_tcp_port = 65535;

// Results of read_line. What the buffer holds afterwards is noted per code;
// it is NUL-terminated whatever the result.
enum read_line_code : int32_t {
    read_line_complete = 0,         // an LF arrived: the line, without CR and LF
    read_line_idle_timeout = 1,     // time-out before any character was stored: empty
    read_line_closed = 2,           // the peer closed: the characters stored so far
    read_line_partial_timeout = 3,  // time-out after at least one character: the partial line
    read_line_too_long = 4,         // line_buffer_size - 1 characters without an LF: those characters
    read_line_failed = 5,           // any other receive failure: the characters stored so far
};

// Publishes s in falloff_socket so that another thread can shut it down;
// false (nothing published) when this worker's session has ended.
bool falloff_publish(platform_socket s);
// Takes *s out of falloff_socket (if it is still there) before closing it,
// so no other thread reaches a closed handle, and sets *s to none. Closes
// whatever the session; false when this worker's session has ended.
bool falloff_unpublish_and_close(platform_socket *s);

// Resolves server_host:server_port and connects to the first address that
// accepts. On a worker thread the connect is given up once the worker is to
// stop. On success stores the socket in *out (not published anywhere); on
// failure returns false and leaves *out as it was.
bool falloff_connect(platform_socket *out);
// The same to any host and port; *resolve_failed (may be null) tells a name
// or port that did not resolve from a server that did not accept.
bool falloff_connect_to(const char *host, int32_t port, platform_socket *out, bool *resolve_failed = nullptr);

// Sends text without its terminator; true when every byte went out. An empty
// text is true without a call.
bool send_all(platform_socket s, const char *text);

// Reads one line into buffer (line_buffer_size bytes), one byte per receive
// so nothing after the LF is taken from the socket. *error, when given, is
// 0 on entry and receives the platform's error number of a failed receive.
int32_t read_line(platform_socket s, char *buffer, int32_t *error = nullptr);
