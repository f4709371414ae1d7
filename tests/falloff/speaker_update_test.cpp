// UPDATE and UPDATE2 lines into the speaker table.
#include "falloff/speaker_update.h"
#include "core/plugin_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
struct speaker {
    std::string hash;
    float gain, pan;
};

std::vector<speaker> table_after(const std::string &line) {
    state_lock_setup();
    g_state.debug_log = 0;
    apply_speaker_update(line.c_str());
    std::vector<speaker> out;
    for (size_t i = 0; i < g_state.speaker_count; ++i)
        out.push_back({g_state.speaker_table[i].hash, g_state.speaker_table[i].gain, g_state.speaker_table[i].pan});
    return out;
}
}  // namespace

TEST(speaker_update, lines_as_the_server_sends_them) {
    struct row {
        const char *line;
        std::vector<speaker> expected;
    } rows[] = {
        {"UPDATE", {}},
        {"UPDATE   ", {}},
        {"UPDATE ,,, ,", {}},
        {"UPDATE ab 0.5", {{"ab", 0.5f, 0.0f}}},
        {"UPDATE ab 0.5 0.9", {{"ab", 0.5f, 0.0f}}},  // UPDATE carries no pan
        {"UPDATE2 ab 0.5", {{"ab", 0.5f, 0.0f}}},
        {"UPDATE2 ab 0.5 -0.25", {{"ab", 0.5f, -0.25f}}},
        {"UPDATE2 ab 0.5 left", {{"ab", 0.5f, 0.0f}}},
        {"UPDATE2 ab 0.5 -3", {{"ab", 0.5f, -1.0f}}},
        {"UPDATE2ab 0.5 1", {{"ab", 0.5f, 1.0f}}},  // no blank needed after the kind
        {"UPDATES 0.5", {{"S", 0.5f, 0.0f}}},       // UPDATE with the payload at the S
        {"UPDATE ab 1.5, cd -0.2, ef x, gh", {{"ab", 1.0f, 0.0f}, {"cd", 0.0f, 0.0f}}},
        {"UPDATE2   ab \t 0.5\t  0.25  ,cd 1 1", {{"ab", 0.5f, 0.25f}, {"cd", 1.0f, 1.0f}}},
        {"UPDATE2 Ab 0.1 0.1, aB 0.2 -0.2, ab 0.3 0.3", {{"Ab", 0.3f, 0.3f}}},  // later values, first spelling
    };
    for (const row &r : rows) {
        auto got = table_after(r.line);
        ASSERT_EQ(got.size(), r.expected.size()) << r.line;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].hash, r.expected[i].hash) << r.line;
            EXPECT_FLOAT_EQ(got[i].gain, r.expected[i].gain) << r.line;
            EXPECT_FLOAT_EQ(got[i].pan, r.expected[i].pan) << r.line;
        }
    }
}

TEST(speaker_update, limits_on_hashes_and_speakers) {
    std::string h127(127, 'h'), h128(128, 'h');
    auto got = table_after("UPDATE " + h127 + " 1," + h128 + " 1");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].hash, h127);

    std::string line = "UPDATE2";
    for (int i = 0; i < 600; ++i)
        line += (i ? "," : " ") + std::to_string(i) + " 0.5 0";
    line += ",3 0.25 -1,599 1 1";  // a kept hash is still updated; a dropped one stays out
    got = table_after(line);
    ASSERT_EQ(got.size(), 512u);
    EXPECT_EQ(got[511].hash, "511");
    EXPECT_FLOAT_EQ(got[3].gain, 0.25f);
    EXPECT_FLOAT_EQ(got[3].pan, -1.0f);
}

// What the reader tells of each piece: the reasons a report gives for a
// speaker that is skipped, clamped or merged.
TEST(speaker_update, tells_what_became_of_each_piece) {
    struct seen {
        speaker_piece_result result;
        std::string hash, gain_word;
        float gain_read, pan_read;
        bool pan_given, pan_is_number;
    };
    std::vector<seen> pieces;
    auto observe = [](void *context, const speaker_piece &p) {
        static_cast<std::vector<seen> *>(context)->push_back({p.result, p.hash ? p.hash : "",
                                                              p.gain_text ? p.gain_text : "", p.gain_read, p.pan_read,
                                                              p.pan_text != nullptr, p.pan_is_number});
    };
    static char work[speaker_work_size];
    static speaker_entry table[max_speakers];
    static uint64_t digests[max_speakers];
    size_t count = 99;
    EXPECT_TRUE(read_speaker_line("UPDATE2 a 1.5 -3,b loud 0,c,  ,d 0.5 left,A 0.2,e 0.1", work, table, digests, &count,
                                  observe, &pieces));
    ASSERT_EQ(pieces.size(), 7u);
    EXPECT_EQ(pieces[0].result, speaker_piece_result::added);
    EXPECT_FLOAT_EQ(pieces[0].gain_read, 1.5f);
    EXPECT_FLOAT_EQ(pieces[0].pan_read, -3.0f);
    EXPECT_EQ(pieces[1].result, speaker_piece_result::gain_not_number);
    EXPECT_EQ(pieces[1].gain_word, "loud 0");
    EXPECT_EQ(pieces[2].result, speaker_piece_result::hash_alone);
    EXPECT_EQ(pieces[3].result, speaker_piece_result::blank);
    EXPECT_EQ(pieces[4].result, speaker_piece_result::added);
    EXPECT_TRUE(pieces[4].pan_given);
    EXPECT_FALSE(pieces[4].pan_is_number);
    EXPECT_EQ(pieces[5].result, speaker_piece_result::updated);
    EXPECT_FALSE(pieces[6].pan_given);  // a gain alone: pan 0, nothing to report
    // The table is the plugin's: clamped values, the first spelling.
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(table[0].hash, "a");
    EXPECT_FLOAT_EQ(table[0].gain, 0.2f);
    EXPECT_FLOAT_EQ(table[0].pan, 0.0f);
    EXPECT_FLOAT_EQ(table[1].pan, 0.0f);

    std::string line = "UPDATE";
    for (size_t i = 0; i <= max_speakers; ++i)
        line += (i ? "," : " ") + std::to_string(i) + " 1";
    pieces.clear();
    EXPECT_FALSE(read_speaker_line(line.c_str(), work, table, digests, &count, observe, &pieces));
    EXPECT_EQ(count, max_speakers);
    EXPECT_EQ(pieces.back().result, speaker_piece_result::table_full);
}
