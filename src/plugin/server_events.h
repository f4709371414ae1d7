// Mumble's server events: identity, user hash table, disconnect.
#pragma once

#include <cstddef>
#include <cstdint>

// The client id that stands in for the local certificate hash when Mumble
// has none to give: a made one is 20 random bytes as 40 lowercase hex digits;
// one read back from its file may be 32 to 127 hex digits of either case.
constexpr size_t client_id_random_bytes = 20;
constexpr size_t client_id_min_length = 32;
constexpr size_t client_id_max_length = 127;
constexpr size_t client_id_size = client_id_max_length + 1;

void on_server_synchronized(int32_t connection);
// A start while Mumble is already on a server: Mumble sends no event for a
// connection that was there before the plugin started, so init asks for it.
// A synchronized connection is taken up exactly as its synchronize would be;
// one still synchronizing is left to its own event; no connection, or a host
// error (logged), leaves the plugin waiting for the next event.
void adopt_active_connection();
void on_server_disconnected();
void refresh_user_hashes();

// A user who starts talking on the synchronized connection but is missing
// from the user hash table triggers a rebuild: Mumble adds a joining user and
// moves them into their channel before it knows their certificate hash, so
// the rebuilds of those two events leave the user out. For one id still
// without a hash, at most one such rebuild per talking_refresh_interval_ms.
constexpr uint32_t talking_refresh_interval_ms = 1000;
void on_user_talking_state(int32_t connection, uint32_t user_id, int32_t talking_state);

// The client id in the first line of the client id file: the text up to its
// first line feed, at most client_id_max_length characters of it, trimmed
// of white space, accepted when 32 to 127 hex digits. On success `out`
// holds it exactly as read; on failure `out` is untouched.
bool client_id_from_line(const char *line, char *out, size_t out_size);

// Bytes for a client id when the system's random source fails, from the
// tick count and the process id: byte i is the low 8 bits of
// (ticks >> 8*(i%4)) ^ (process_id >> 8*((i+1)%4)) ^ (37*i).
void client_id_fallback_bytes(uint32_t ticks, uint32_t process_id, unsigned char *out, size_t n);

// n bytes as 2n lowercase hex digits, high nibble first; cut to out_size - 1.
void client_id_hex(const unsigned char *bytes, size_t n, char *out, size_t out_size);
