// The handshake's pure half: what the server's lines mean and how the
// client's lines are written. No state, no socket, so it is table-tested and
// fuzzed on its own.
#include "handshake.h"

#include "../core/text.h"
#include "build_info.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr const char *token_disabled_line = "ERR token authentication disabled";
constexpr const char *expected_hello_prefix = "ERR expected HELLO";
constexpr const char *challenge_prefix = "CHALLENGE ";
constexpr const char *unauthorized_prefix = "ERR unauthorized";
constexpr const char *accepted_line = "OK";

constexpr const char *hello2_object = R"({"version":"2.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT
                                      R"(","features":["spatial","challenge-auth"]})";
constexpr const char *hello_object =
    R"({"version":"1.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT R"(","features":["spatial"]})";

bool begins_with(const char *line, const char *prefix) { return std::strncmp(line, prefix, std::strlen(prefix)) == 0; }

bool is_challenge(const char *digits) {
    for (size_t i = 0; i < challenge_length; ++i) {
        if (!is_xdigit(digits[i])) return false;  // also stops at the terminator
    }
    return digits[challenge_length] == '\0';
}

bool breaks_framing(const char *field) { return std::strpbrk(field, "\r\n") != nullptr; }
}  // namespace

int32_t classify_hello2_reply(const char *line, const char **challenge) {
    if (std::strcmp(line, token_disabled_line) == 0) return handshake_token_unavailable;
    if (begins_with(line, expected_hello_prefix)) return handshake_token_unavailable;
    if (begins_with(line, challenge_prefix)) {
        const char *digits = line + std::strlen(challenge_prefix);
        if (is_challenge(digits)) {
            *challenge = digits;
            return handshake_challenge;
        }
    }
    if (begins_with(line, unauthorized_prefix)) return handshake_unauthorized;
    return handshake_failed;
}

int32_t classify_final_reply(const char *line) {
    if (std::strcmp(line, accepted_line) == 0) return handshake_accepted;
    if (begins_with(line, unauthorized_prefix)) return handshake_unauthorized;
    return handshake_failed;
}

bool format_hello2_line(char *out, size_t size, const char *identity_hash) {
    if (breaks_framing(identity_hash)) return false;
    return formatted_fits(std::snprintf(out, size, "HELLO2 %s %s\n", identity_hash, hello2_object), size);
}

bool format_hello_line(char *out, size_t size, const char *api_key, const char *identity_hash) {
    if (breaks_framing(api_key) || breaks_framing(identity_hash)) return false;
    return formatted_fits(std::snprintf(out, size, "HELLO %s %s %s\n", api_key, identity_hash, hello_object), size);
}

bool format_auth_line(char *out, size_t size, const char *response_hex) {
    if (breaks_framing(response_hex)) return false;
    return formatted_fits(std::snprintf(out, size, "AUTH %s\n", response_hex), size);
}
