#include "challenge_response.h"

#include "../core/text.h"
#include "sha256.h"

#include <cstdio>
#include <cstring>

bool compute_auth_response(const char *credential, const char *identity_hash, const char *challenge, char *out_hex) {
    if (!credential || !identity_hash || !challenge || !out_hex) return false;

    char message[auth_message_size];
    int length = std::snprintf(message, sizeof message, "quorvane-voice-v2\n%s\n%s", identity_hash, challenge);
    if (!formatted_fits(length, sizeof message)) return false;

    // The key is the credential's digest, whatever its length: the server
    // keys its check the same way, so a short credential is never used raw.
    uint8_t key[sha256_digest_size];
    sha256(credential, std::strlen(credential), key);

    uint8_t mac[sha256_digest_size];
    hmac_sha256(key, sizeof key, message, static_cast<size_t>(length), mac);

    static constexpr char hex_digits[] = "0123456789abcdef";
    for (size_t i = 0; i < sha256_digest_size; ++i) {
        out_hex[2 * i] = hex_digits[mac[i] >> 4];
        out_hex[2 * i + 1] = hex_digits[mac[i] & 0x0f];
    }
    out_hex[2 * sha256_digest_size] = '\0';
    return true;
}
