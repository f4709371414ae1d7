// The constant-power law on golden buffers, and the callback's guards and
// lookup on the state record.
#include "audio/spatial_audio.h"
#include "core/plugin_state.h"
#include "falloff/speaker_update.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {
constexpr float centre = 0.70710677f;

void set_users(std::initializer_list<std::pair<uint32_t, const char *>> users) {
    std::vector<user_hash_entry> entries;
    for (auto [id, hash] : users) {
        user_hash_entry e{};
        e.user_id = id;
        std::snprintf(e.hash, sizeof e.hash, "%s", hash);
        entries.push_back(e);
    }
    publish_user_hashes(entries.data(), entries.size());
}

class audio_path : public ::testing::Test {
  protected:
    void SetUp() override {
        state_lock_setup();
        g_state.enabled = 1;
        g_state.debug_log = 0;
        set_users({{1, "aaaa"}, {2, "BBBB"}, {3, "cccc"}, {1, "dddd"}});
        apply_speaker_update("UPDATE2 aaaa 1 -1, bbbb 0.5 0.5, dddd 0.25 0");
    }
    void TearDown() override {
        g_state.user_hash_count = 0;
        g_state.speaker_count = 0;
    }
};
}  // namespace

TEST(gain_pan_law, golden_buffers) {
    struct row {
        const char *name;
        uint16_t channels;
        float gain, pan;
        std::vector<float> expected;  // applied to a buffer of 1s
    } rows[] = {
        {"mono ignores pan", 1, 0.5f, -1.0f, {0.5f, 0.5f, 0.5f}},
        {"stereo centre", 2, 1.0f, 0.0f, {centre, centre, centre, centre}},
        {"stereo full left", 2, 1.0f, -1.0f, {1.0f, 0.0f, 1.0f, 0.0f}},
        {"stereo full right", 2, 1.0f, 1.0f, {0.0f, 1.0f, 0.0f, 1.0f}},
        {"stereo half right, half gain",
         2,
         0.5f,
         0.5f,
         {std::sqrt(0.25f) * 0.5f, std::sqrt(0.75f) * 0.5f, std::sqrt(0.25f) * 0.5f, std::sqrt(0.75f) * 0.5f}},
        {"gain above 1 acts as 1, pan 2 as 1", 2, 1.5f, 2.0f, {0.0f, 1.0f}},
        {"negative gain silences", 2, -0.5f, 0.0f, {0.0f, 0.0f}},
        {"pan -3 acts as -1", 2, 1.0f, -3.0f, {1.0f, 0.0f}},
        {"six channels: front pair panned, rest by gain",
         6,
         0.5f,
         -1.0f,
         {0.5f, 0.0f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f, 0.5f, 0.5f, 0.5f, 0.5f}},
    };
    for (const row &r : rows) {
        std::vector<float> pcm(r.expected.size(), 1.0f);
        apply_gain_pan(pcm.data(), static_cast<uint32_t>(pcm.size() / r.channels), r.channels, r.gain, r.pan);
        for (size_t i = 0; i < pcm.size(); ++i)
            EXPECT_FLOAT_EQ(pcm[i], r.expected[i]) << r.name << " [" << i << "]";
    }
    // Constant power for every pan.
    for (float pan = -1.0f; pan <= 1.0f; pan += 0.125f) {
        float lr[2] = {1.0f, 1.0f};
        apply_gain_pan(lr, 1, 2, 1.0f, pan);
        EXPECT_NEAR(lr[0] * lr[0] + lr[1] * lr[1], 1.0f, 1e-6f) << pan;
    }
}

TEST_F(audio_path, scales_listed_speakers_and_silences_everyone_else) {
    struct row {
        const char *name;
        uint32_t user;
        float left, right;
    } rows[] = {
        {"listed, full left", 1, 1.0f, 0.0f},  // the first entry of a user id wins
        {"hash matched ignoring case", 2, std::sqrt(0.25f) * 0.5f, std::sqrt(0.75f) * 0.5f},
        {"hash not among the speakers", 3, 0.0f, 0.0f},
        {"user not in the user table", 99, 0.0f, 0.0f},
    };
    for (const row &r : rows) {
        float pcm[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        EXPECT_TRUE(process_audio_source(pcm, 2, 2, 48000, true, r.user)) << r.name;
        EXPECT_FLOAT_EQ(pcm[0], r.left) << r.name;
        EXPECT_FLOAT_EQ(pcm[1], r.right) << r.name;
        EXPECT_FLOAT_EQ(pcm[2], r.left) << r.name;
    }
    // Zero frames of a known speaker: nothing to do, still handled.
    float untouched = 1.0f;
    EXPECT_TRUE(process_audio_source(&untouched, 0, 2, 48000, true, 1));
    EXPECT_EQ(untouched, 1.0f);
}

TEST_F(audio_path, leaves_the_buffer_alone_when_not_for_it) {
    float pcm[2] = {0.3f, 0.3f};
    EXPECT_FALSE(process_audio_source(nullptr, 1, 2, 48000, true, 1));
    EXPECT_FALSE(process_audio_source(pcm, 1, 2, 48000, false, 1));
    EXPECT_FALSE(process_audio_source(pcm, 1, 0, 48000, true, 1));
    g_state.enabled = 0;
    EXPECT_FALSE(process_audio_source(pcm, 1, 2, 48000, true, 99));
    EXPECT_EQ(pcm[0], 0.3f);
    EXPECT_EQ(pcm[1], 0.3f);
}

TEST_F(audio_path, empty_tables_silence_every_speaker) {
    for (int which = 0; which < 2; ++which) {
        SetUp();
        if (which == 0)
            apply_speaker_update("UPDATE");
        else
            set_users({});
        float pcm[2] = {1.0f, 1.0f};
        EXPECT_TRUE(process_audio_source(pcm, 1, 2, 48000, true, 1));
        EXPECT_EQ(pcm[0], 0.0f);
        EXPECT_EQ(pcm[1], 0.0f);
    }
}

TEST_F(audio_path, a_reader_racing_rewrites_sees_only_whole_tables) {
    // Two full tables in which every speaker has the same gain: a torn read
    // would show up as a mix, or as a user lost between the two.
    std::string a = "UPDATE2", b = "UPDATE2";
    for (int i = 0; i < 512; ++i) {
        char piece[64];
        std::snprintf(piece, sizeof piece, "%s h%03d 0.25 -1", i ? "," : "", i);
        a += piece;
        std::snprintf(piece, sizeof piece, "%s H%03d 0.75 1", i ? "," : "", i);
        b += piece;
    }
    set_users({{7, "h511"}});
    apply_speaker_update(a.c_str());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 400; ++i)
            apply_speaker_update((i % 2 ? b : a).c_str());
        stop = true;
    });
    int reads = 0, torn = 0;
    while (!stop.load()) {
        float pcm[2] = {1.0f, 1.0f};
        process_audio_source(pcm, 1, 2, 48000, true, 7);
        bool left_only = pcm[0] == 0.25f && pcm[1] == 0.0f;
        bool right_only = pcm[0] == 0.0f && pcm[1] == 0.75f;
        torn += !(left_only || right_only);
        ++reads;
    }
    writer.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0);
}
