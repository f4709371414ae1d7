#include "core/configuration.h"
#include "core/plugin_state.h"
#include "harness/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

TEST(plugin_dir, cuts_at_the_last_separator_only) {
    struct row {
        const char *path;
        char separator;
        const char *expected;
    } rows[] = {
        {"C:\\Users\\p\\Mumble\\Plugins\\quorvane_voice.dll", '\\', "C:\\Users\\p\\Mumble\\Plugins"},
        {"C:/Users/p/Plugins/quorvane_voice.dll", '\\', "."},  // forward slashes do not count on Windows
        {"quorvane_voice.dll", '\\', "."},
        {"/home/p/.local/share/Mumble/Plugins/libquorvane_voice.so", '/', "/home/p/.local/share/Mumble/Plugins"},
        {"/libquorvane_voice.so", '/', ""},
        {"a\\b/c.so", '/', "a\\b"},
    };
    for (const row &r : rows) {
        char out[1024];
        plugin_dir_from_module_path(r.path, std::strlen(r.path), r.separator, out, sizeof out);
        EXPECT_STREQ(out, r.expected) << r.path;
    }
}

TEST(plugin_dir, refused_or_cut_names_give_the_current_directory) {
    char out[1024];
    plugin_dir_from_module_path("C:\\x\\y.dll", 0, '\\', out, sizeof out);
    EXPECT_STREQ(out, ".");
    std::string long_name(1024, 'a');
    long_name[10] = '\\';
    plugin_dir_from_module_path(long_name.c_str(), 1024, '\\', out, sizeof out);
    EXPECT_STREQ(out, ".");
    long_name.resize(1023);
    plugin_dir_from_module_path(long_name.c_str(), 1023, '\\', out, sizeof out);
    EXPECT_EQ(std::string(out), long_name.substr(0, 10));
}

// ---- ini lines ----------------------------------------------------------------

namespace {
std::string dump(const config_values &c) {
    return "server_host=" + std::string(c.server_host) + "|server_port=" + std::to_string(c.server_port) +
           "|api_key=" + c.api_key + "|enabled=" + std::to_string(c.enabled) +
           "|debug_log=" + std::to_string(c.debug_log) + "|reconnect_sec=" + std::to_string(c.reconnect_sec) +
           "|smooth_transitions=" + std::to_string(c.smooth_transitions);
}

// The defaults with one field replaced, in the form of dump().
std::string defaults_with(const std::string &field, const std::string &value) {
    config_values c;
    config_set_defaults(&c);
    std::string text = dump(c);
    size_t from = text.find(field + "=") + field.size() + 1;
    size_t to = std::min(text.find('|', from), text.size());
    return text.replace(from, to - from, value);
}

// Feeds the text line by line, each with its line feed, as the file reader does.
config_values apply_lines(const std::string &text) {
    config_values c;
    config_set_defaults(&c);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        config_apply_ini_line(&c, text.data() + start, end - start);
        start = end;
    }
    return c;
}
}  // namespace

TEST(ini_line, settings_follow_their_value_rules) {
    struct row {
        std::string lines;
        const char *field;
        std::string expected;
    } rows[] = {
        // Keys: case, white space around them, unknown keys, lines that are no setting.
        {"  Server_Host =  example\r\n", "server_host", "example"},
        {"server_host\t=\texample\t\v\f\r\n", "server_host", "example"},
        {"\xEF\xBB\xBFserver_host=bom.example\n", "server_host", "127.0.0.1"},
        {"# server_host=commented\n  ; server_host=too\n", "server_host", "127.0.0.1"},
        {"[falloff]\nserver_host example\n", "server_host", "127.0.0.1"},
        {"server_hostx=a\n=b\n", "server_host", "127.0.0.1"},
        {"server_host=first\nserver_host=second\n", "server_host", "second"},
        // Text: taken as written after the trim, remarks and '=' included, cut at 255.
        {"server_host=\n", "server_host", ""},
        {"server_host=example.test # remark\n", "server_host", "example.test # remark"},
        {"api_key=a=b\n", "api_key", "a=b"},
        {"api_key = say \"hi\"  there \n", "api_key", "say \"hi\"  there"},
        {"api_key=" + std::string(300, 'k') + "\n", "api_key", std::string(255, 'k')},
        {std::string("server_host=ab\0cd\n", 18), "server_host", "ab"},
        // Integers as atoi reads them, saturating instead of overflowing.
        {"server_port=8890abc\n", "server_port", "8890"},
        {"server_port=\n", "server_port", "0"},
        {"server_port=9000 # remark\n", "server_port", "9000"},
        {"server_port=-12\n", "server_port", "-12"},
        {"server_port=+ 5\n", "server_port", "0"},
        {"server_port=99999999999\n", "server_port", "2147483647"},
        {"server_port=-99999999999\n", "server_port", "-2147483648"},
        {"reconnect_sec=0\n", "reconnect_sec", "1"},
        {"reconnect_sec=-5\n", "reconnect_sec", "1"},
        {"reconnect_sec=soon\n", "reconnect_sec", "1"},
        {"reconnect_sec=1\n", "reconnect_sec", "1"},
        {"reconnect_sec=30\n", "reconnect_sec", "30"},
        // Boolean words.
        {"  ENABLED  =  Off\r\n", "enabled", "0"},
        {"enabled=\n", "enabled", "0"},
        {"enabled=yes please\n", "enabled", "0"},
        {"enabled=0\nenabled=TRUE\n", "enabled", "1"},
        {"enabled=0\nenabled=On\n", "enabled", "1"},
        {"enabled=0\nenabled=1\n", "enabled", "1"},
        {"debug_log=YES\n", "debug_log", "1"},
        {"debug_log=no\n", "debug_log", "0"},
        {"smooth_transitions = 0\n", "smooth_transitions", "0"},
        {"Smooth_Transitions=off\n", "smooth_transitions", "0"},
        {"smooth_transitions=maybe\n", "smooth_transitions", "0"},
        {"smooth_transitions=0\nsmooth_transitions=on\n", "smooth_transitions", "1"},
        {"# smooth_transitions=0\n", "smooth_transitions", "1"},
    };
    for (const row &r : rows)
        EXPECT_EQ(dump(apply_lines(r.lines)), defaults_with(r.field, r.expected)) << r.lines;
}

TEST(ini_file, a_long_line_arrives_in_pieces_and_a_missing_file_keeps_the_defaults) {
    plugin_sandbox box;
    // 1500 bytes: the first 1023 are one piece, the rest another line.
    std::string first = "server_host=" + std::string(1023 - 12, 'h');
    std::string rest = "server_port=4242";
    rest += std::string(1500 - first.size() - rest.size(), ' ');
    box.write("quorvane_voice.ini", "enabled=0\r\n" + first + rest + "\r\nreconnect_sec=30");

    config_values c;
    config_set_defaults(&c);
    ASSERT_TRUE(config_read_ini_file(box.file("quorvane_voice.ini").string().c_str(), &c));
    EXPECT_EQ(std::string(c.server_host), std::string(255, 'h'));
    EXPECT_EQ(c.server_port, 4242);
    EXPECT_EQ(c.enabled, 0);
    EXPECT_EQ(c.reconnect_sec, 30);  // the last line needs no line end

    config_set_defaults(&c);
    EXPECT_FALSE(config_read_ini_file(box.file("absent.ini").string().c_str(), &c));
    config_values defaults;
    config_set_defaults(&defaults);
    EXPECT_EQ(dump(c), dump(defaults));
}

// ---- parse_float --------------------------------------------------------------

TEST(parse_float, reads_a_leading_decimal_and_ignores_the_rest) {
    struct row {
        const char *text;
        float expected;
    } rows[] = {
        {"0.75", 0.75f}, {"  -0.5abc", -0.5f}, {".5", 0.5f},     {"-.25", -0.25f}, {"5.", 5.0f},        {"1.2.3", 1.2f},
        {"1e3", 1.0f},   {"+2", 2.0f},         {"\t 007", 7.0f}, {"1,5", 1.0f},    {"0.000001", 1e-6f},
    };
    for (const row &r : rows) {
        float v = 42.0f;
        ASSERT_TRUE(parse_float(r.text, &v)) << r.text;
        EXPECT_FLOAT_EQ(v, r.expected) << r.text;
    }
    // A value beyond the range of float becomes infinity, not undefined behaviour.
    std::string huge(60, '9');
    float v = 0.0f;
    ASSERT_TRUE(parse_float(huge.c_str(), &v));
    EXPECT_TRUE(std::isinf(v) && v > 0);
    ASSERT_TRUE(parse_float(("-" + huge).c_str(), &v));
    EXPECT_TRUE(std::isinf(v) && v < 0);
}

TEST(parse_float, a_minus_zero_keeps_its_sign) {
    for (const char *text : {"-0", "-0.0", " -.0"}) {
        float v = 42.0f;
        ASSERT_TRUE(parse_float(text, &v)) << text;
        EXPECT_EQ(v, 0.0f) << text;
        EXPECT_TRUE(std::signbit(v)) << text;
    }
}

TEST(parse_float, fails_without_a_digit_and_leaves_the_value_alone) {
    for (const char *text : {"", "-", "+", ".", "-.", ".x", "- 1", "--1", "+-1", "abc", "\n1", "\r1", " \v1"}) {
        float v = 42.0f;
        EXPECT_FALSE(parse_float(text, &v)) << text;
        EXPECT_EQ(v, 42.0f) << text;
    }
    float v = 42.0f;
    EXPECT_FALSE(parse_float(nullptr, &v));
    EXPECT_EQ(v, 42.0f);
}
