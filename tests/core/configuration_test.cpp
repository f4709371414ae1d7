#include "core/configuration.h"

#include <gtest/gtest.h>

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
