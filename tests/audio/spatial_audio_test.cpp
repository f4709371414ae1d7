// The constant-power law on golden buffers, and the callback's guards and
// lookup on the state record.
#include "audio/spatial_audio.h"
#include "core/plugin_state.h"
#include "core/text.h"
#include "falloff/speaker_update.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
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
        // As between init and shutdown.
        g_state.session_active.store(true);
        g_state.enabled = 1;
        g_state.debug_log = 0;
        g_state.smooth_transitions = 1;
        set_users({{1, "aaaa"}, {2, "BBBB"}, {3, "cccc"}, {1, "dddd"}});
        apply_speaker_update("UPDATE2 aaaa 1 -1, bbbb 0.5 0.5, dddd 0.25 0");
    }
    void TearDown() override {
        g_state.user_hash_count = 0;
        g_state.speaker_count = 0;
        g_state.smooth_transitions = 1;
        forget_applied_factors();
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

// ---- the glide ---------------------------------------------------------------

namespace {
// User 1 ("aaaa") listed at gain and pan, or not listed when gain < 0.
void list_user_one(float gain, float pan) {
    char line[64] = "UPDATE2";
    if (gain >= 0.0f)
        std::snprintf(line, sizeof line, "UPDATE2 aaaa %.9g %.9g", static_cast<double>(gain), static_cast<double>(pan));
    apply_speaker_update(line);
}

gain_factors listed_factors(float gain, float pan) { return law_factors(gain < 0.0f ? 0.0f : gain, pan); }

float channel_factor(const gain_factors &f, uint16_t channels, size_t c) {
    if (channels == 1 || c >= 2) return f.rest;
    return c == 0 ? f.left : f.right;
}

std::vector<float> play_ones(uint32_t user, uint32_t frames, uint16_t channels, uint32_t rate = 48000) {
    std::vector<float> pcm(static_cast<size_t>(frames) * channels, 1.0f);
    EXPECT_TRUE(process_audio_source(pcm.data(), frames, channels, rate, true, user));
    return pcm;
}

// A buffer of ones after the glide from `from` to `to` over `ramp` frames:
// frame i < ramp carries from + (to - from) * (i + 1) / ramp, and from frame
// ramp - 1 on every sample is exactly `to` (ramp 0: the whole buffer).
void expect_glide(const std::vector<float> &pcm, uint16_t channels, const gain_factors &from, const gain_factors &to,
                  uint32_t ramp, const std::string &what) {
    int reported = 0;
    for (size_t i = 0; i < pcm.size() / channels; ++i)
        for (size_t c = 0; c < channels; ++c) {
            const float got = pcm[i * channels + c];
            const float a = channel_factor(from, channels, c), b = channel_factor(to, channels, c);
            bool ok;
            if (i + 1 >= ramp) {
                ok = got == b;
            } else {
                const double want = a + (static_cast<double>(b) - a) * static_cast<double>(i + 1) / ramp;
                ok = std::fabs(got - want) <= 1e-6;
            }
            if (!ok && reported++ < 4) ADD_FAILURE() << what << ": frame " << i << " channel " << c << " is " << got;
        }
}
}  // namespace

TEST_F(audio_path, a_change_glides_over_the_first_ten_ms_and_then_holds_the_law) {
    struct row {
        const char *name;
        uint16_t channels;
        uint32_t frames, rate;
        float gain0, pan0, gain1, pan1;  // a gain below 0: not listed
        uint32_t ramp;
    } rows[] = {
        {"stereo, 480 frames at 48 kHz", 2, 480, 48000, 1.0f, -1.0f, 0.5f, 0.5f, 480},
        {"960 frames: the first 480 glide", 2, 960, 48000, 0.2f, 1.0f, 0.9f, -0.25f, 480},
        {"mono: the gain alone", 1, 480, 48000, 0.25f, -1.0f, 1.0f, 1.0f, 480},
        {"six channels: the front pair panned, the rest by the gain", 6, 480, 48000, 1.0f, 0.0f, 0.3f, -0.8f, 480},
        {"a buffer shorter than 10 ms glides over all of it", 2, 100, 48000, 0.0f, 0.0f, 1.0f, 0.0f, 100},
        {"44.1 kHz: 441 frames", 2, 1024, 44100, 0.5f, 0.0f, 0.5f, 1.0f, 441},
        {"pan only, mono: nothing to glide", 1, 480, 48000, 0.5f, -1.0f, 0.5f, 1.0f, 0},
        {"fade-out when the speaker is dropped", 2, 960, 48000, 0.8f, 0.3f, -1.0f, 0.0f, 480},
        {"mono fade-out", 1, 960, 48000, 1.0f, 0.0f, -1.0f, 0.0f, 480},
        {"six-channel fade-in when the speaker comes into range", 6, 480, 48000, -1.0f, 0.0f, 0.7f, -0.4f, 480},
    };
    for (uint8_t smooth : {1, 0}) {
        g_state.smooth_transitions = smooth;
        for (const row &r : rows) {
            const std::string what = std::string(r.name) + (smooth ? "" : " (smooth_transitions = 0)");
            const gain_factors before = listed_factors(r.gain0, r.pan0), after = listed_factors(r.gain1, r.pan1);
            forget_applied_factors();
            list_user_one(r.gain0, r.pan0);
            expect_glide(play_ones(1, r.frames, r.channels, r.rate), r.channels, before, before, 0,
                         what + ", first buffer: the plain law");
            list_user_one(r.gain1, r.pan1);
            expect_glide(play_ones(1, r.frames, r.channels, r.rate), r.channels, before, after, smooth ? r.ramp : 0,
                         what + ", after the change");
            expect_glide(play_ones(1, r.frames, r.channels, r.rate), r.channels, after, after, 0,
                         what + ", the next buffer: steady");
        }
    }
    // Silence after a fade-out is exact, also in the following buffers.
    g_state.smooth_transitions = 1;
    list_user_one(-1.0f, 0.0f);
    for (float s : play_ones(1, 480, 2))
        EXPECT_EQ(s, 0.0f);
}

TEST_F(audio_path, what_is_remembered_follows_the_user_and_is_forgotten_with_the_session) {
    const gain_factors loud = law_factors(1.0f, -1.0f), quiet = law_factors(0.5f, 0.0f);
    // Remembers `loud` for user 1 on stereo, then lists user 1 at `quiet`.
    auto remember_loud_then_change = [] {
        forget_applied_factors();
        list_user_one(1.0f, -1.0f);
        play_ones(1, 480, 2);
        list_user_one(0.5f, 0.0f);
    };

    remember_loud_then_change();
    expect_glide(play_ones(1, 480, 1), 1, quiet, quiet, 0, "another channel count: the plain law");
    expect_glide(play_ones(1, 480, 2), 2, quiet, quiet, 0, "and back: the plain law again");

    remember_loud_then_change();
    forget_applied_factors();
    expect_glide(play_ones(1, 480, 2), 2, quiet, quiet, 0, "forgotten: the plain law");

    remember_loud_then_change();
    set_users({{5, "eeee"}, {2, "BBBB"}, {1, "aaaa"}});
    expect_glide(play_ones(1, 480, 2), 2, loud, quiet, 480, "rebuilt with the user at another place: glides");

    remember_loud_then_change();
    set_users({{2, "BBBB"}});
    set_users({{2, "BBBB"}, {1, "aaaa"}});
    expect_glide(play_ones(1, 480, 2), 2, quiet, quiet, 0, "left and came back: the plain law");

    // A buffer of no frames applies nothing and so changes nothing.
    remember_loud_then_change();
    float none = 1.0f;
    EXPECT_TRUE(process_audio_source(&none, 0, 2, 48000, true, 1));
    expect_glide(play_ones(1, 480, 2), 2, loud, quiet, 480, "after an empty buffer: still glides from the last");

    // A user unknown to Mumble is remembered nowhere: silence, buffer after buffer.
    for (int i = 0; i < 2; ++i)
        for (float s : play_ones(99, 480, 2))
            EXPECT_EQ(s, 0.0f);
}

TEST_F(audio_path, the_remembered_speaker_position_is_checked_before_it_is_used) {
    auto last_frame = [](uint32_t user) {
        std::vector<float> pcm = play_ones(user, 2, 2);
        return std::pair{pcm[2], pcm[3]};
    };
    apply_speaker_update("UPDATE2 aaaa 1 -1, bbbb 0.5 0.5");
    last_frame(1);
    const gain_factors moved = law_factors(0.25f, 1.0f);
    apply_speaker_update("UPDATE2 bbbb 0.5 0.5, aaaa 0.25 1");
    EXPECT_EQ(last_frame(1), std::pair(moved.left, moved.right)) << "another speaker now at the old place";
    apply_speaker_update("UPDATE2 bbbb 0.5 0.5");
    EXPECT_EQ(last_frame(1), std::pair(0.0f, 0.0f)) << "dropped, another speaker at the old place";
    apply_speaker_update("UPDATE2 aaaa 0.25 1");
    last_frame(1);
    apply_speaker_update("UPDATE");
    EXPECT_EQ(last_frame(1), std::pair(0.0f, 0.0f)) << "the table emptied";
}

TEST_F(audio_path, every_one_of_512_users_is_found_through_the_index) {
    // Ids in a run, ids far apart, and ids that share their low bits.
    std::vector<user_hash_entry> users(max_user_hashes);
    std::string line = "UPDATE2";
    for (size_t i = 0; i < max_user_hashes; ++i) {
        users[i].user_id = i < 200 ? static_cast<uint32_t>(1000 + i)
                                   : (i < 400 ? static_cast<uint32_t>(0xFFFFFFFFu - i * 7919u)
                                              : static_cast<uint32_t>((i - 399) << 20));
        std::snprintf(users[i].hash, sizeof users[i].hash, "u%03zu", i);
        char piece[32];
        std::snprintf(piece, sizeof piece, "%s u%03zu 0.%03zu 0", i ? "," : "", i, i + 1);
        line += piece;
    }
    publish_user_hashes(users.data(), users.size());
    apply_speaker_update(line.c_str());
    int wrong = 0;
    for (size_t i = 0; i < max_user_hashes; ++i) {
        const float gain = static_cast<float>(i + 1) / 1000.0f;
        std::vector<float> pcm = play_ones(users[i].user_id, 1, 1);
        wrong += std::fabs(pcm[0] - gain) > 1e-6f;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(play_ones(12345, 1, 1)[0], 0.0f) << "not among them";
}

TEST_F(audio_path, parallel_sources_and_table_rebuilds_keep_the_remembered_factors_whole) {
    // Constant gains: whatever interleaving of rebuilds, forgetting and
    // sources of the same user, every buffer must be exactly the law.
    apply_speaker_update("UPDATE2 aaaa 0.5 -0.5, bbbb 0.25 0.5");
    const gain_factors one = law_factors(0.5f, -0.5f), two = law_factors(0.25f, 0.5f);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    auto source = [&] {
        while (!stop.load())
            for (uint32_t user : {1u, 2u}) {
                std::vector<float> pcm = play_ones(user, 48, 2);
                const gain_factors &f = user == 1 ? one : two;
                for (size_t i = 0; i < pcm.size(); i += 2)
                    torn += pcm[i] != f.left || pcm[i + 1] != f.right;
            }
    };
    std::thread a(source), b(source);
    for (int i = 0; i < 300; ++i) {
        if (i % 2)
            set_users({{1, "aaaa"}, {2, "BBBB"}});
        else
            set_users({{7, "gggg"}, {2, "BBBB"}, {1, "aaaa"}});
        if (i % 10 == 0) forget_applied_factors();
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(hash_texts_equal, agrees_with_the_plain_comparison) {
    // Letters at the edges of the capitals, bytes whose low seven bits are
    // capitals, and texts that differ in case, in one byte or in length, with
    // garbage after the terminator.
    const char alphabet[] = {'A', 'Z', 'a', 'z',    '@',    '[',    '`',    '{',
                             '0', 'f', 'F', '\xC1', '\xE1', '\xDA', '\x80', '\xFF'};
    std::mt19937 random(7);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    int disagreements = 0;
    for (int round = 0; round < 20000; ++round) {
        char a[hash_size], b[hash_size];
        for (size_t i = 0; i < hash_size; ++i) {
            a[i] = alphabet[pick(sizeof alphabet)];
            b[i] = alphabet[pick(sizeof alphabet)];
        }
        const size_t length = pick(hash_size);
        a[length] = '\0';
        for (size_t i = 0; i < length; ++i) {
            const char c = a[i];
            b[i] = pick(2) && c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
            if (pick(2) && c >= 'A' && c <= 'Z') b[i] = static_cast<char>(c + 32);
        }
        switch (pick(4)) {
            case 0:
                b[length] = '\0';
                break;  // equal ignoring case
            case 1:
                b[pick(length + 1)] = alphabet[pick(sizeof alphabet)], b[length] = '\0';
                break;
            case 2:
                b[length + (length + 1 < hash_size)] = '\0';
                break;  // b longer, or equal at the end
            default:
                b[pick(length + 1)] = '\0';
                break;  // b shorter
        }
        disagreements += hash_texts_equal(a, b) != equals_ignore_case(a, b);
        disagreements += hash_texts_equal(b, a) != equals_ignore_case(b, a);
    }
    EXPECT_EQ(disagreements, 0);
}
