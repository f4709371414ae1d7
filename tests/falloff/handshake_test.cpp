// What the server's handshake lines mean, and the client's lines byte for byte.
#include "falloff/handshake.h"
#include "build_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
const std::string hex64 = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123";
const std::string hello2_object = R"({"version":"2.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT
                                  R"(","features":["spatial","challenge-auth"]})";
const std::string hello_object =
    R"({"version":"1.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT R"(","features":["spatial"]})";
}  // namespace

TEST(handshake_reply, answers_to_hello2) {
    struct row {
        std::string line;
        int32_t result;
    } rows[] = {
        {"ERR token authentication disabled", handshake_token_unavailable},
        {"ERR token authentication disabled ", handshake_failed},  // exact line only
        {"ERR token authentication", handshake_failed},
        {"ERR expected HELLO", handshake_token_unavailable},
        {"ERR expected HELLO, got HELLO2", handshake_token_unavailable},
        {"ERR expected HELL", handshake_failed},
        {"err expected hello", handshake_failed},
        {"CHALLENGE " + hex64, handshake_challenge},
        {"CHALLENGE " + hex64.substr(1), handshake_failed},  // 63 digits
        {"CHALLENGE " + hex64 + "0", handshake_failed},      // 65 digits
        {"CHALLENGE " + hex64.substr(1) + "g", handshake_failed},
        {"CHALLENGE  " + hex64.substr(1), handshake_failed},  // two blanks
        {"CHALLENGE " + hex64 + " ", handshake_failed},
        {"CHALLENGE" + hex64, handshake_failed},
        {"challenge " + hex64, handshake_failed},
        {"ERR unauthorized", handshake_unauthorized},
        {"ERR unauthorized: unknown identity", handshake_unauthorized},
        {"ERR unauthorize", handshake_failed},
        {"OK", handshake_failed},  // token mode always needs the challenge
        {"", handshake_failed},
        {"ERR", handshake_failed},
    };
    for (const row &r : rows) {
        const char *challenge = nullptr;
        EXPECT_EQ(classify_hello2_reply(r.line.c_str(), &challenge), r.result) << '"' << r.line << '"';
        if (r.result == handshake_challenge) {
            // The digits as received, letter case unchanged, inside the line.
            EXPECT_EQ(challenge, r.line.c_str() + 10);
            EXPECT_EQ(std::string(challenge), hex64);
        } else {
            EXPECT_EQ(challenge, nullptr);
        }
    }
}

TEST(handshake_reply, answers_to_auth_and_hello) {
    struct row {
        const char *line;
        int32_t result;
    } rows[] = {
        {"OK", handshake_accepted},
        {"OK ", handshake_failed},
        {"OKAY", handshake_failed},
        {"ok", handshake_failed},
        {"", handshake_failed},
        {"ERR unauthorized", handshake_unauthorized},
        {"ERR unauthorized bad response", handshake_unauthorized},
        {"ERR token authentication disabled", handshake_failed},
        {"ERR expected HELLO", handshake_failed},
        {"CHALLENGE 00", handshake_failed},
    };
    for (const row &r : rows)
        EXPECT_EQ(classify_final_reply(r.line), r.result) << '"' << r.line << '"';
}

TEST(handshake_lines, formats_exactly) {
    ASSERT_EQ(hello2_object.size(), 105u);
    ASSERT_EQ(hello_object.size(), 88u);
    char out[hello_line_size];

    ASSERT_TRUE(format_hello2_line(out, sizeof out, "abc123"));
    EXPECT_EQ(std::string(out), "HELLO2 abc123 " + hello2_object + "\n");
    ASSERT_TRUE(format_hello_line(out, sizeof out, "key-1", "abc123"));
    EXPECT_EQ(std::string(out), "HELLO key-1 abc123 " + hello_object + "\n");

    const std::string response(64, 'e');
    char auth[auth_line_size];
    ASSERT_TRUE(format_auth_line(auth, sizeof auth, response.c_str()));
    EXPECT_EQ(std::string(auth), "AUTH " + response + "\n");
    EXPECT_EQ(std::strlen(auth), 70u);

    // The longest fields the plugin holds still fit.
    const std::string identity(127, 'i'), api_key(255, 'k');
    ASSERT_TRUE(format_hello_line(out, sizeof out, api_key.c_str(), identity.c_str()));
    EXPECT_EQ(std::strlen(out), 6 + 255 + 1 + 127 + 1 + 88 + 1u);
}

TEST(handshake_lines, refuses_a_line_it_cannot_send_whole) {
    char out[hello_line_size];
    // Cut lines would reach the server without their LF.
    EXPECT_FALSE(format_hello2_line(out, 100, "abc"));
    EXPECT_FALSE(format_hello2_line(out, sizeof out, std::string(1000, 'i').c_str()));
    char auth[auth_line_size];
    EXPECT_FALSE(format_auth_line(auth, sizeof auth, std::string(80, 'e').c_str()));
    // A line break inside a field would smuggle in a line of its own.
    EXPECT_FALSE(format_hello2_line(out, sizeof out, "abc\nHELLO x y {}"));
    EXPECT_FALSE(format_hello_line(out, sizeof out, "key\r", "abc"));
    EXPECT_FALSE(format_hello_line(out, sizeof out, "key", "a\nb"));
}
