// SHA-256 and HMAC-SHA-256, the plugin's own: the challenge response must not
// depend on a crypto library or a platform hashing service.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t sha256_block_size = 64;
constexpr size_t sha256_digest_size = 32;

// Working state of one digest; lives wherever the caller puts it (the stack).
struct sha256_state {
    uint8_t block[sha256_block_size];
    uint32_t block_used;  // bytes waiting in block
    uint64_t bits_done;   // message bits already compressed
    uint32_t chain[8];
};

void sha256_start(sha256_state *state);
void sha256_absorb(sha256_state *state, const void *data, size_t size);
// Pads, compresses the last block(s) and writes the big-endian digest. The
// state must be started again before another use.
void sha256_finish(sha256_state *state, uint8_t digest[sha256_digest_size]);

void sha256(const void *data, size_t size, uint8_t digest[sha256_digest_size]);

// HMAC-SHA-256 with a key of any length the standard way: a key longer than
// a block is digested first, a shorter one is padded with zero bytes.
void hmac_sha256(const void *key, size_t key_size, const void *message, size_t message_size,
                 uint8_t mac[sha256_digest_size]);
