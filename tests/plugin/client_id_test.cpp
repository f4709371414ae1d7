// The client id's pure parts: reading a stored one back, and the bytes and
// digits of a made one.
#include "plugin/server_events.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
const std::string digits32 = "0123456789ABCDEF0123456789abcdef";

std::string hex_digits(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += "0123456789abcdefABCDEF"[i % 22];
    return s;
}
}  // namespace

TEST(client_id_from_line, takes_32_to_127_hex_digits_of_the_first_line_as_read) {
    const std::string d127 = hex_digits(127);
    struct row {
        const char *name;
        std::string line;
        const char *expected;  // nullptr: refused
    } rows[] = {
        {"mixed case, as read", digits32, digits32.c_str()},
        {"white space around, line end", " \t\v\f" + digits32 + " \t\r\n", digits32.c_str()},
        {"127 digits", d127, d127.c_str()},
        {"200 digits are cut to 127", hex_digits(200) + "\r\n", d127.c_str()},
        {"the cut comes before a bad 128th character", d127 + "g", d127.c_str()},
        {"only the first line counts", digits32 + "\nzz", digits32.c_str()},
        {"31 digits", digits32.substr(0, 31) + "\r\n", nullptr},
        {"a blank between digits", digits32.substr(0, 16) + " " + digits32.substr(16), nullptr},
        {"a non-hex character between digits", digits32.substr(0, 16) + "g" + digits32.substr(17), nullptr},
        {"only white space", " \t\r\n", nullptr},
        {"empty", "", nullptr},
        {"the id on the second line", "\r\n" + digits32, nullptr},
    };
    for (const row &r : rows) {
        char out[client_id_size];
        std::strcpy(out, "untouched");
        bool accepted = client_id_from_line(r.line.c_str(), out, sizeof out);
        EXPECT_EQ(accepted, r.expected != nullptr) << r.name;
        EXPECT_STREQ(out, r.expected ? r.expected : "untouched") << r.name;
    }
}

TEST(client_id_from_line, leading_blanks_count_towards_the_127_characters) {
    // The file's first line is read into 128 bytes before it is trimmed.
    char out[client_id_size];
    ASSERT_TRUE(client_id_from_line(("   " + hex_digits(127)).c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), hex_digits(124));
}

TEST(client_id_from_line, refuses_an_id_that_does_not_fit_the_output) {
    char small[32];
    std::strcpy(small, "untouched");
    EXPECT_FALSE(client_id_from_line(digits32.c_str(), small, sizeof small));
    EXPECT_STREQ(small, "untouched");
}

TEST(client_id_fallback, mixes_ticks_and_process_id_into_lowercase_digits) {
    struct row {
        uint32_t ticks, process_id;
        const char *expected;
    } rows[] = {
        {0x12345678u, 0x9abcdef0u, "a6cfe48d325370e18ea7dc751a0ba8c9f69f345d"},
        {0xffffffffu, 0u, "ffdab5906b4621fcd7b28d68431ef9d4af8a6540"},
    };
    for (const row &r : rows) {
        unsigned char bytes[client_id_random_bytes];
        client_id_fallback_bytes(r.ticks, r.process_id, bytes, sizeof bytes);
        char id[client_id_size];
        client_id_hex(bytes, sizeof bytes, id, sizeof id);
        EXPECT_STREQ(id, r.expected);
    }
}

TEST(client_id_hex, writes_whole_bytes_only_within_the_output) {
    const unsigned char bytes[] = {0x00, 0x9f, 0xa0, 0xff, 0x12};
    char out[8];
    client_id_hex(bytes, sizeof bytes, out, sizeof out);
    EXPECT_STREQ(out, "009fa0");
    client_id_hex(bytes, 0, out, sizeof out);
    EXPECT_STREQ(out, "");
}
