// The plugin's SHA-256, HMAC-SHA-256 and challenge response against OpenSSL
// on many random inputs. OpenSSL serves as the reference here only; the
// plugin never links it.
#include "falloff/challenge_response.h"
#include "falloff/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {
constexpr int random_cases = 2000;
constexpr size_t max_random_length = 300;

std::mt19937 &generator() {
    static std::mt19937 g(20240917u);  // fixed: a failure reproduces
    return g;
}

std::vector<uint8_t> random_bytes(size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> out(n);
    for (uint8_t &b : out)
        b = static_cast<uint8_t>(byte(generator()));
    return out;
}

size_t random_length(size_t max = max_random_length) {
    return std::uniform_int_distribution<size_t>(0, max)(generator());
}

std::vector<uint8_t> reference_sha256(const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr), 1);
    out.resize(n);
    return out;
}

std::vector<uint8_t> reference_hmac(const std::vector<uint8_t> &key, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    // OpenSSL wants a non-null key pointer even for an empty key.
    static const uint8_t no_key = 0;
    EXPECT_NE(HMAC(EVP_sha256(), key.empty() ? &no_key : key.data(), static_cast<int>(key.size()), data.data(),
                   data.size(), out.data(), &n),
              nullptr);
    out.resize(n);
    return out;
}

std::vector<uint8_t> ours_sha256(const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out(sha256_digest_size);
    sha256(data.data(), data.size(), out.data());
    return out;
}

std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Any bytes but NUL: the challenge response takes C strings.
std::string random_text(size_t n) {
    std::uniform_int_distribution<int> c(1, 255);
    std::string out(n, ' ');
    for (char &ch : out)
        ch = static_cast<char>(c(generator()));
    return out;
}
}  // namespace

TEST(sha256_against_openssl, every_length_up_to_five_blocks) {
    // Covers each padding edge (55/56, 63/64/65 and so on) exactly.
    for (size_t n = 0; n <= 5 * sha256_block_size; ++n) {
        auto data = random_bytes(n);
        ASSERT_EQ(hex(ours_sha256(data)), hex(reference_sha256(data))) << n;
    }
}

TEST(sha256_against_openssl, random_messages_absorbed_in_random_pieces) {
    for (int i = 0; i < random_cases; ++i) {
        auto data = random_bytes(random_length(4 * max_random_length));
        sha256_state state;
        sha256_start(&state);
        for (size_t at = 0; at < data.size();) {
            size_t piece = std::min(random_length(150), data.size() - at);
            sha256_absorb(&state, data.data() + at, piece);
            at += piece;
        }
        std::vector<uint8_t> digest(sha256_digest_size);
        sha256_finish(&state, digest.data());
        ASSERT_EQ(hex(digest), hex(reference_sha256(data))) << "case " << i << " length " << data.size();
    }
}

TEST(hmac_sha256_against_openssl, random_keys_and_messages) {
    for (int i = 0; i < random_cases; ++i) {
        auto key = random_bytes(random_length());
        auto data = random_bytes(random_length());
        std::vector<uint8_t> mac(sha256_digest_size);
        hmac_sha256(key.data(), key.size(), data.data(), data.size(), mac.data());
        ASSERT_EQ(hex(mac), hex(reference_hmac(key, data)))
            << "case " << i << " key " << key.size() << " message " << data.size();
    }
}

TEST(challenge_response_against_openssl, random_credentials_identities_and_challenges) {
    for (int i = 0; i < random_cases; ++i) {
        std::string credential = random_text(random_length());
        std::string identity = random_text(random_length(200));
        std::string challenge = random_text(random_length(200));
        std::string message = "quorvane-voice-v2\n" + identity + "\n" + challenge;

        char out[auth_response_size];
        std::memset(out, '#', sizeof out);
        bool ok = compute_auth_response(credential.c_str(), identity.c_str(), challenge.c_str(), out);
        if (identity.size() + challenge.size() > 300) {
            ASSERT_FALSE(ok) << identity.size() + challenge.size();
            ASSERT_EQ(std::count(out, out + sizeof out, '#'), static_cast<long>(sizeof out));
            continue;
        }
        ASSERT_TRUE(ok) << identity.size() + challenge.size();
        auto key = reference_sha256(std::vector<uint8_t>(credential.begin(), credential.end()));
        auto expected = reference_hmac(key, std::vector<uint8_t>(message.begin(), message.end()));
        ASSERT_EQ(std::string(out), hex(expected)) << "case " << i;
    }
}
