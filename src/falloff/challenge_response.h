// The answer to the falloff server's challenge: proves that the plugin holds
// the credential without sending it.
#pragma once

#include <cstddef>

// The hashed message, "quorvane-voice-v2\n<identity>\n<challenge>", must fit
// this buffer with its terminator.
constexpr size_t auth_message_size = 320;
// 64 hexadecimal characters and the terminator.
constexpr size_t auth_response_size = 65;

// HMAC-SHA-256 of the message keyed with the SHA-256 digest of the whole
// credential, as 64 lowercase hexadecimal characters and a NUL in out_hex
// (at least auth_response_size bytes). False, with out_hex untouched, when
// the message does not fit (identity and challenge over 300 characters
// together) or an argument is missing.
bool compute_auth_response(const char *credential, const char *identity_hash, const char *challenge, char *out_hex);
