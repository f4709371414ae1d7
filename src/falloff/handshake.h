// The falloff handshake: token mode (HELLO2, CHALLENGE, AUTH) with the
// per-player credential, legacy mode (HELLO) with the shared api key, the
// fallback from one to the other, and the revocation of a credential that
// the server keeps refusing.
#pragma once

#include "../platform/platform.h"

#include <cstddef>
#include <cstdint>

// Results of a handshake and of each exchange in it.
constexpr int32_t handshake_accepted = 0;
constexpr int32_t handshake_unauthorized = 1;
// The server does not take HELLO2; only token mode gives this.
constexpr int32_t handshake_token_unavailable = 2;
// Anything else: send or receive failure, time-out, unexpected reply.
constexpr int32_t handshake_failed = 3;
// classify_hello2_reply only: the line carries a challenge to answer.
constexpr int32_t handshake_challenge = -1;

constexpr size_t challenge_length = 64;
// The outgoing lines are formatted in buffers of these sizes.
constexpr size_t hello_line_size = 1024;
constexpr size_t auth_line_size = 80;
// The revocation comes with the refusal after this many in a row.
constexpr int32_t unauthorized_refusals_before_revocation = 2;

// ---- server lines (pure) -----------------------------------------------------
// The answer to HELLO2: handshake_token_unavailable, handshake_challenge
// (*challenge then points at the 64 hexadecimal digits inside line),
// handshake_unauthorized or handshake_failed.
int32_t classify_hello2_reply(const char *line, const char **challenge);
// The answer to AUTH or HELLO: handshake_accepted, handshake_unauthorized or
// handshake_failed.
int32_t classify_final_reply(const char *line);

// ---- client lines (pure) -----------------------------------------------------
// Each writes the whole line with its LF and returns true, or returns false
// when it does not fit or a field holds a CR or LF that would break the
// line framing.
bool format_hello2_line(char *out, size_t size, const char *identity_hash);
bool format_hello_line(char *out, size_t size, const char *api_key, const char *identity_hash);
bool format_auth_line(char *out, size_t size, const char *response_hex);

// ---- exchanges over a connected socket ----------------------------------------
// Told of each line an exchange sends (with its LF, and whether all of it
// went out) and of each reply it reads (read_line's code and the buffer).
struct handshake_observer {
    void (*sent)(void *context, const char *line, bool ok);
    void (*received)(void *context, int32_t read_code, const char *reply);
    void *context;
};

// `reply` is the caller's line buffer (line_buffer_size bytes); it holds the
// last server line read, complete or partial. `observer` may be null.
int32_t token_hello(platform_socket socket, const char *identity_hash, const char *credential, char *reply,
                    const handshake_observer *observer = nullptr);
// Presents api_key. Never returns handshake_token_unavailable.
int32_t legacy_hello_with_key(platform_socket socket, const char *api_key, const char *identity_hash, char *reply,
                              const handshake_observer *observer = nullptr);
// The same with the configured api key.
int32_t legacy_hello(platform_socket socket, const char *identity_hash, char *reply);

// The whole handshake of one attempt, in token mode when `credential` is
// non-empty, else in legacy mode. *socket is the published, connected socket
// on entry; on return it is the socket in use (published and open) when the
// result is handshake_accepted, and platform_invalid_socket otherwise (the
// handshake has unpublished and closed it). *legacy_mode tells the mode in
// force at the end: a token attempt that the server cannot take falls back
// to legacy mode on a fresh connection when an api key is configured.
// A refusal is logged; token-mode "unauthorized" refusals are counted in
// *unauthorized_count and the third in a row revokes the credential.
int32_t falloff_handshake(platform_socket *socket, const char *identity_hash, const char *credential, char *reply,
                          int32_t *unauthorized_count, bool *legacy_mode);
