// The string field reader over reply texts of every awkward shape.
#include "identity/json_field.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {
struct field_case {
    const char *name;
    std::string json;
    std::string key;
    size_t out_size;
    bool found;
    const char *value;  // expected text when found
};

constexpr size_t out_capacity = 160;
}  // namespace

TEST(json_get_string, reads_string_fields_and_leaves_out_alone_otherwise) {
    const std::string long_key(json_quoted_key_size - 3, 'k');  // just fits with its quotes
    const std::string cut_key(json_quoted_key_size - 2, 'k');   // would lose its closing quote
    const field_case cases[] = {
        {"plain", R"({"code":"ab12"})", "code", 32, true, "ab12"},
        {"white space before the value", "{\"code\": \t\r\n\v\f\"ab12\"}", "code", 32, true, "ab12"},
        {"white space before the colon", "{\"code\"  \n:\"ab12\"}", "code", 32, true, "ab12"},
        {"number", R"({"code":12})", "code", 32, false, nullptr},
        {"true", R"({"code":true})", "code", 32, false, nullptr},
        {"false", R"({"code": false})", "code", 32, false, nullptr},
        {"null", R"({"code":null})", "code", 32, false, nullptr},
        {"object", R"({"code":{"x":"y"}})", "code", 32, false, nullptr},
        {"array", R"({"code":["y"]})", "code", 32, false, nullptr},
        {"empty value", R"({"code":""})", "code", 32, true, ""},
        {"escaped quote ends the value", R"({"code":"ab\"cd"})", "code", 32, true, "ab\\"},
        {"backslash kept", R"({"code":"a\\nb"})", "code", 32, true, "a\\\\nb"},
        {"key first as a value, then the key", R"({"status":"code","code":"real"})", "code", 32, true, "real"},
        {"key first as a value, then a number field", R"({"status":"code","n":5,"code":"real"})", "code", 32, false,
         nullptr},
        {"first of two occurrences wins", R"({"o":{"code":"inner"},"code":"outer"})", "code", 32, true, "inner"},
        {"longer keys do not match", R"({"old_code":"1","codes":"2","code":"3"})", "code", 32, true, "3"},
        {"value of out_size - 1 bytes", R"({"code":"abcd"})", "code", 5, true, "abcd"},
        {"value of out_size bytes", R"({"code":"abcde"})", "code", 5, false, nullptr},
        {"out_size 1 takes only the empty value", R"({"code":""})", "code", 1, true, ""},
        {"out_size 0", R"({"code":""})", "code", 0, false, nullptr},
        {"missing key", R"({"status":"pending"})", "code", 32, false, nullptr},
        {"unquoted key", R"({code:"ab12"})", "code", 32, false, nullptr},
        {"no colon", R"({"code" "ab12"})", "code", 32, false, nullptr},
        {"end of text after the colon", R"({"code":)", "code", 32, false, nullptr},
        {"only white space after the colon", "{\"code\": \r\n", "code", 32, false, nullptr},
        {"unterminated value", R"({"code":"ab12)", "code", 32, false, nullptr},
        {"empty text", "", "code", 32, false, nullptr},
        {"longest key", "{\"" + long_key + "\":\"v\"}", long_key, 32, true, "v"},
        {"key too long to quote", "{\"" + cut_key + "\":\"v\"}", cut_key, 32, false, nullptr},
    };
    for (const field_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.out_size, out_capacity);
        std::array<char, out_capacity> out;
        out.fill('#');
        std::memcpy(out.data(), "old", 4);
        const std::array<char, out_capacity> before = out;

        EXPECT_EQ(json_get_string(c.json.c_str(), c.key.c_str(), out.data(), c.out_size), c.found);
        if (c.found) {
            EXPECT_STREQ(out.data(), c.value);
            // Nothing written past the value's terminator.
            const size_t used = std::strlen(c.value) + 1;
            EXPECT_EQ(0, std::memcmp(out.data() + used, before.data() + used, out_capacity - used));
        } else {
            EXPECT_EQ(out, before);
        }
    }
}

TEST(json_get_string, refuses_missing_arguments) {
    char out[8] = "old";
    EXPECT_FALSE(json_get_string(R"({"code":"x"})", nullptr, out, sizeof out));
    EXPECT_FALSE(json_get_string(nullptr, "code", out, sizeof out));
    EXPECT_FALSE(json_get_string(R"({"code":"x"})", "code", nullptr, sizeof out));
    EXPECT_STREQ(out, "old");
}
