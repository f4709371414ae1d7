// The handshake's server-line classification, and the client lines and the
// challenge response built from what a line carries, on arbitrary bytes.
// Nothing may read out of bounds, and each result must match the line.
#include "falloff/challenge_response.h"
#include "falloff/handshake.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

bool begins_with(const char *text, const char *prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool lower_hex(const char *text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
    }
    return true;
}

// A client line must be one whole line: its only LF at the end.
void check_line(const char *line, size_t size) {
    size_t length = std::strlen(line);
    check(length > 0 && length < size && line[length - 1] == '\n');
    check(std::memchr(line, '\n', length - 1) == nullptr && std::memchr(line, '\r', length) == nullptr);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // As read_line leaves it: NUL-terminated, the text ending at any NUL.
    std::vector<char> copy(data, data + size);
    copy.push_back('\0');
    const char *line = copy.data();

    const char *challenge = nullptr;
    int32_t hello2 = classify_hello2_reply(line, &challenge);
    switch (hello2) {
        case handshake_challenge:
            check(challenge == line + 10 && begins_with(line, "CHALLENGE "));
            check(std::strlen(challenge) == challenge_length);
            break;
        case handshake_token_unavailable:
            check(std::strcmp(line, "ERR token authentication disabled") == 0 ||
                  begins_with(line, "ERR expected HELLO"));
            check(challenge == nullptr);
            break;
        case handshake_unauthorized:
            check(begins_with(line, "ERR unauthorized") && challenge == nullptr);
            break;
        case handshake_failed:
            check(challenge == nullptr);
            break;
        default:
            check(false);
    }

    int32_t final_reply = classify_final_reply(line);
    check(final_reply == handshake_accepted || final_reply == handshake_unauthorized ||
          final_reply == handshake_failed);
    check((final_reply == handshake_accepted) == (std::strcmp(line, "OK") == 0));
    check((final_reply == handshake_unauthorized) == begins_with(line, "ERR unauthorized"));

    // The same bytes as the fields of the client's lines.
    char out[hello_line_size];
    if (format_hello2_line(out, sizeof out, line)) check_line(out, sizeof out);
    if (format_hello_line(out, sizeof out, line, line)) check_line(out, sizeof out);
    char auth[auth_line_size];
    if (format_auth_line(auth, sizeof auth, line)) check_line(auth, sizeof auth);

    // The response to whatever challenge the line carried, the line itself
    // standing in for credential and identity.
    char response[auth_response_size + 1];
    std::memset(response, '#', sizeof response);
    bool answered = compute_auth_response(line, line, challenge ? challenge : "", response);
    check(answered == (std::strlen(line) + (challenge ? challenge_length : 0) <= 300));
    if (answered) {
        check(lower_hex(response, 64) && response[64] == '\0' && response[65] == '#');
    } else {
        for (char c : response)
            check(c == '#');
    }
    return 0;
}
