#include "sha256.h"

namespace {
constexpr uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t initial_chain[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Where the 64-bit length goes in the last block.
constexpr uint32_t length_offset = sha256_block_size - 8;
constexpr uint8_t inner_pad_byte = 0x36;
constexpr uint8_t outer_pad_byte = 0x5c;

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(sha256_state *s) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
        const uint8_t *p = s->block + 4 * t;
        w[t] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
    }
    for (int t = 16; t < 64; ++t) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = s->chain[0], b = s->chain[1], c = s->chain[2], d = s->chain[3];
    uint32_t e = s->chain[4], f = s->chain[5], g = s->chain[6], h = s->chain[7];
    for (int t = 0; t < 64; ++t) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + round_constants[t] + w[t];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s->chain[0] += a;
    s->chain[1] += b;
    s->chain[2] += c;
    s->chain[3] += d;
    s->chain[4] += e;
    s->chain[5] += f;
    s->chain[6] += g;
    s->chain[7] += h;
}

void absorb_byte(sha256_state *s, uint8_t byte) {
    s->block[s->block_used++] = byte;
    if (s->block_used == sha256_block_size) {
        compress(s);
        s->bits_done += 8 * sha256_block_size;
        s->block_used = 0;
    }
}
}  // namespace

void sha256_start(sha256_state *state) {
    for (uint8_t &b : state->block)
        b = 0;
    state->block_used = 0;
    state->bits_done = 0;
    for (int i = 0; i < 8; ++i)
        state->chain[i] = initial_chain[i];
}

void sha256_absorb(sha256_state *state, const void *data, size_t size) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i)
        absorb_byte(state, bytes[i]);
}

void sha256_finish(sha256_state *state, uint8_t digest[sha256_digest_size]) {
    uint64_t total_bits = state->bits_done + 8 * uint64_t{state->block_used};
    state->block[state->block_used++] = 0x80;
    if (state->block_used > length_offset) {
        // Fewer than 9 bytes were left: the length goes into an extra block.
        while (state->block_used < sha256_block_size)
            state->block[state->block_used++] = 0;
        compress(state);
        state->block_used = 0;
    }
    while (state->block_used < length_offset)
        state->block[state->block_used++] = 0;
    for (int i = 0; i < 8; ++i)
        state->block[length_offset + i] = static_cast<uint8_t>(total_bits >> (56 - 8 * i));
    compress(state);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<uint8_t>(state->chain[i] >> (24 - 8 * j));
    }
}

void sha256(const void *data, size_t size, uint8_t digest[sha256_digest_size]) {
    sha256_state state;
    sha256_start(&state);
    sha256_absorb(&state, data, size);
    sha256_finish(&state, digest);
}

void hmac_sha256(const void *key, size_t key_size, const void *message, size_t message_size,
                 uint8_t mac[sha256_digest_size]) {
    uint8_t key_block[sha256_block_size] = {};
    if (key_size > sha256_block_size) {
        sha256(key, key_size, key_block);
    } else {
        const uint8_t *k = static_cast<const uint8_t *>(key);
        for (size_t i = 0; i < key_size; ++i)
            key_block[i] = k[i];
    }

    uint8_t pad[sha256_block_size];
    for (size_t i = 0; i < sha256_block_size; ++i)
        pad[i] = key_block[i] ^ inner_pad_byte;
    uint8_t inner[sha256_digest_size];
    sha256_state state;
    sha256_start(&state);
    sha256_absorb(&state, pad, sizeof pad);
    sha256_absorb(&state, message, message_size);
    sha256_finish(&state, inner);

    for (size_t i = 0; i < sha256_block_size; ++i)
        pad[i] = key_block[i] ^ outer_pad_byte;
    sha256_start(&state);
    sha256_absorb(&state, pad, sizeof pad);
    sha256_absorb(&state, inner, sizeof inner);
    sha256_finish(&state, mac);
}
