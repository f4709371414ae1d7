// log_notice and log_debug on the state record directly, with a recording
// host log slot: the cut and the '%' rule on every platform.
#include "core/logging.h"
#include "core/plugin_state.h"
#include "harness/sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {
std::vector<std::string> host_lines;

mumble_error_t QV_CALL record_log(mumble_plugin_id_t, const char *text) {
    host_lines.emplace_back(text);
    return 0;
}

class logging : public ::testing::Test {
  protected:
    void SetUp() override {
        host_lines.clear();
        g_state.api_table = {};
        api_table_set<api_slot_log>(g_state.api_table, &record_log);
        g_state.api_registered = 1;
        g_state.debug_log = 1;
        std::snprintf(g_state.log_path, sizeof g_state.log_path, "%s", box.file("quorvane_voice.log").string().c_str());
    }
    void TearDown() override {
        g_state.api_registered = 0;
        g_state.log_path[0] = '\0';
    }
    std::string file_message() const {
        std::string text = box.read("quorvane_voice.log");
        // "[YYYY-MM-DD HH:MM:SS] " is 22 bytes; the line ends in CR LF.
        EXPECT_GE(text.size(), 24u);
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        return text.size() >= 24 ? text.substr(22, text.size() - 24) : std::string();
    }
    plugin_sandbox box;
};
}  // namespace

TEST_F(logging, a_long_notice_is_cut_to_1023_bytes_in_both_channels) {
    std::string long_text(2000, 'x');
    log_notice("%s", long_text.c_str());
    ASSERT_EQ(host_lines.size(), 1u);
    EXPECT_EQ(host_lines[0], "[Quorvane Voice] " + std::string(1023, 'x'));
    EXPECT_EQ(file_message(), std::string(1023, 'x'));
}

TEST_F(logging, percent_signs_pass_through_unchanged) {
    log_notice("value %s", "100%d %s %n");
    ASSERT_EQ(host_lines.size(), 1u);
    EXPECT_EQ(host_lines[0], "[Quorvane Voice] value 100%d %s %n");
    EXPECT_EQ(file_message(), "value 100%d %s %n");
}

TEST_F(logging, debug_lines_stay_out_of_mumble_and_vanish_when_off) {
    log_debug("falloff_connect_attempt host=%s port=%d", "127.0.0.1", 8890);
    EXPECT_TRUE(host_lines.empty());
    EXPECT_EQ(file_message(), "falloff_connect_attempt host=127.0.0.1 port=8890");
    std::remove(box.file("quorvane_voice.log").string().c_str());
    g_state.debug_log = 0;
    log_debug("nothing");
    log_notice("shown in Mumble only");
    EXPECT_FALSE(box.exists("quorvane_voice.log"));
    ASSERT_EQ(host_lines.size(), 1u);
}

TEST_F(logging, lines_from_several_threads_stay_whole_across_a_move_of_the_full_file) {
    constexpr int threads = 4;
    constexpr int lines_each = 1000;
    // Close enough to the limit that the file is moved part-way through.
    const std::string filled = std::string(log_file_limit_bytes - 64 * 1024 - 2, 'x') + "\r\n";
    box.write("quorvane_voice.log", filled);
    // Lines of different lengths, so a torn one would show.
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < lines_each; ++i)
                log_debug("writer=%d line=%d %s", t, i,
                          std::string(static_cast<size_t>(40 + (i * 37 + t) % 200), 'a' + t).c_str());
        });
    for (std::thread &w : writers)
        w.join();

    std::string previous = box.read("quorvane_voice.log.1");
    ASSERT_EQ(previous.compare(0, filled.size(), filled), 0) << "the full file went to .1 whole";
    std::string text = previous.substr(filled.size()) + box.read("quorvane_voice.log");
    const std::regex whole(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] writer=(\d) line=(\d+) ([a-d]+))");
    std::map<std::pair<int, int>, int> seen;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) {
        std::string line = text.substr(start, at - start);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line.substr(0, 120);
        int t = std::stoi(m[1].str()), i = std::stoi(m[2].str());
        EXPECT_EQ(m[3].str(), std::string(static_cast<size_t>(40 + (i * 37 + t) % 200), 'a' + t));
        ++seen[{t, i}];
    }
    EXPECT_EQ(start, text.size()) << "nothing after the last line end";
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * lines_each));
    for (const auto &[key, count] : seen)
        EXPECT_EQ(count, 1) << "writer " << key.first << " line " << key.second;
}
