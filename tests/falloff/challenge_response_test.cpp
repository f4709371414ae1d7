// SHA-256 and HMAC-SHA-256 against their published vectors, and the
// challenge response built on them.
#include "falloff/challenge_response.h"
#include "falloff/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {
std::string hex(const uint8_t *bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string sha256_hex(const std::string &data) {
    uint8_t digest[sha256_digest_size];
    sha256(data.data(), data.size(), digest);
    return hex(digest, sizeof digest);
}

std::string hmac_hex(const std::string &key, const std::string &message) {
    uint8_t mac[sha256_digest_size];
    hmac_sha256(key.data(), key.size(), message.data(), message.size(), mac);
    return hex(mac, sizeof mac);
}

// Bytes that differ from position to position, so a misplaced byte shows.
std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>((i * 7 + 3) & 0xff);
    return s;
}

std::string response(const std::string &credential, const std::string &identity, const std::string &challenge) {
    char out[auth_response_size + 8];
    std::memset(out, '#', sizeof out);
    if (!compute_auth_response(credential.c_str(), identity.c_str(), challenge.c_str(), out)) return "refused";
    EXPECT_EQ(out[64], '\0');
    EXPECT_EQ(out[65], '#') << "nothing written past the terminator";
    return out;
}

const std::string credential = "vc1." + std::string(40, 'A') + "z9_";
const std::string identity = "0123456789abcdef0123456789abcdef01234567";
const std::string challenge = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string message = "quorvane-voice-v2\n" + identity + "\n" + challenge;
}  // namespace

TEST(sha256, fips_180_4_vectors) {
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(sha256, lengths_around_the_padding_boundary) {
    // 55 bytes leave room for the length in the same block, 56 need an extra
    // one; 119/120 and 127/128 are the same edges one block later.
    struct row {
        size_t length;
        const char *digest;
    } rows[] = {
        {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
        {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07"},
        {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
    };
    for (const row &r : rows)
        EXPECT_EQ(sha256_hex(pattern(r.length)), r.digest) << r.length;
}

TEST(sha256, absorbing_in_pieces_equals_one_pass) {
    const std::string data = pattern(1000);
    const std::string whole = sha256_hex(data);
    for (size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 200u}) {
        sha256_state state;
        sha256_start(&state);
        for (size_t at = 0; at < data.size(); at += piece)
            sha256_absorb(&state, data.data() + at, std::min(piece, data.size() - at));
        uint8_t digest[sha256_digest_size];
        sha256_finish(&state, digest);
        EXPECT_EQ(hex(digest, sizeof digest), whole) << piece;
    }
}

TEST(hmac_sha256, rfc_4231_test_cases) {
    std::string key4;
    for (int i = 1; i <= 25; ++i)
        key4 += static_cast<char>(i);
    struct row {
        std::string key, data;
        const char *mac;
    } rows[] = {
        {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {key4, std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        // The RFC gives this case truncated to 128 bits.
        {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
         "hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    int number = 1;
    for (const row &r : rows) {
        std::string expected = r.mac;
        EXPECT_EQ(hmac_hex(r.key, r.data).substr(0, expected.size()), expected) << "test case " << number;
        ++number;
    }
}

TEST(challenge_response, keyed_with_the_credential_digest) {
    // The value the falloff server computes for these inputs.
    const std::string expected = "515c11bbd119fca8b14fe8440070dfb4f56d6c52ef12c560b6486466490e9e31";
    uint8_t key[sha256_digest_size];
    sha256(credential.data(), credential.size(), key);
    EXPECT_EQ(response(credential, identity, challenge), expected);
    EXPECT_EQ(hmac_hex(std::string(reinterpret_cast<char *>(key), sizeof key), message), expected);
    EXPECT_NE(hmac_hex(credential, message), expected) << "a 47-byte credential is never the raw key";

    // An empty credential still answers, keyed with the digest of no bytes.
    sha256("", 0, key);
    EXPECT_EQ(response("", identity, challenge), hmac_hex(std::string(reinterpret_cast<char *>(key), 32), message));
    EXPECT_EQ(response("", identity, challenge), "595dfc79f0e7a4b4feb50a43e27cdf0ea5316e7212bd7a3d61ad762ff0621bfb");

    // A credential over one block is digested once, like a short one, not
    // hashed as an HMAC key would be and then digested again.
    const std::string long_credential(200, 'k');
    sha256(long_credential.data(), long_credential.size(), key);
    EXPECT_EQ(response(long_credential, identity, challenge),
              hmac_hex(std::string(reinterpret_cast<char *>(key), 32), message));
}

TEST(challenge_response, hashes_the_challenge_as_received) {
    std::string upper = challenge;
    for (char &c : upper)
        c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    std::string lower_result = response(credential, identity, challenge);
    std::string upper_result = response(credential, identity, upper);
    EXPECT_NE(lower_result, upper_result);
    for (const std::string &r : {lower_result, upper_result}) {
        ASSERT_EQ(r.size(), 64u);
        for (char c : r)
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << r;
    }
}

TEST(challenge_response, message_limit_of_300_characters) {
    // The label and two line feeds are 19 bytes; with 300 characters the
    // message is 319 bytes, the most that fits.
    const std::string id200(200, 'i');
    EXPECT_NE(response(credential, id200, std::string(100, 'c')), "refused");
    EXPECT_NE(response(credential, "", std::string(300, 'c')), "refused");

    char out[auth_response_size];
    std::memset(out, '#', sizeof out);
    EXPECT_FALSE(compute_auth_response(credential.c_str(), id200.c_str(), std::string(101, 'c').c_str(), out));
    EXPECT_FALSE(compute_auth_response(credential.c_str(), std::string(301, 'i').c_str(), "", out));
    for (char c : out)
        EXPECT_EQ(c, '#') << "output untouched";
    EXPECT_FALSE(compute_auth_response(nullptr, identity.c_str(), challenge.c_str(), out));
}
