// The audio callback through the real library: users from Mumble's list,
// speakers from the falloff server's lines, silence for everyone else.
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

class audio_host : public host_test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(host_test::SetUp());
        peer = std::make_unique<falloff_peer>(
            peer_script{peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close(60000)});
        ASSERT_NE(peer->port(), 0);
        sandbox->write("quorvane_voice.ini",
                       "server_port=" + std::to_string(peer->port()) + "\napi_key=audio-test\nreconnect_sec=1\n");
    }
    void TearDown() override {
        peer.reset();
        host_test::TearDown();
    }

    // The server sends a speaker line; returns once the plugin has taken it in.
    void server_sends(const std::string &line, size_t speakers) {
        std::string kind = line.rfind("UPDATE2", 0) == 0 ? "UPDATE2" : "UPDATE";
        std::string done = "received " + kind + " with " + std::to_string(speakers) + " speakers";
        size_t before = count(done);
        ASSERT_TRUE(eventually([&] { return log_file().find("connected to falloff") != std::string::npos; }, 15000));
        peer->push(line + "\n");
        ASSERT_TRUE(eventually([&] { return count(done) > before; }, 15000)) << line;
    }
    size_t count(const std::string &text) const { return occurrences(log_file(), text); }

    std::unique_ptr<falloff_peer> peer;
};

TEST_F(audio_host, server_listed_users_are_scaled_and_panned_and_a_disconnect_silences_all) {
    host->register_api();
    host->set_local_user(1);
    host->set_users({{1, std::string("0123456789abcdef0123456789abcdef01234567")},
                     {2, std::string("AAAA")},
                     {3, std::string("bbbb")},
                     {4, std::string("cccc")}});
    ASSERT_EQ(host->init(), 0);
    host->synchronize(0);
    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 aaaa 1 -1, BBBB 0.5 0, zzzz 1 1", 3));

    struct row {
        uint32_t user;
        float left, right;
        const char *why;
    } rows[] = {
        {2, 1.0f, 0.0f, "listed at full left (hash case differs)"},
        {3, 0.5f * centre, 0.5f * centre, "listed at half gain, centred"},
        {4, 0.0f, 0.0f, "known to Mumble, not listed by the server"},
        {77, 0.0f, 0.0f, "not known to Mumble"},
    };
    for (const row &r : rows) {
        heard h = play(r.user);
        EXPECT_FLOAT_EQ(h.left, r.left) << r.why;
        EXPECT_FLOAT_EQ(h.right, r.right) << r.why;
    }
    float mono[3] = {1.0f, 1.0f, 1.0f};
    EXPECT_TRUE(host->audio(mono, 3, 1, true, 3));
    EXPECT_FLOAT_EQ(mono[2], 0.5f);

    // A user who joins later is heard once Mumble's list and the server's
    // line both name them.
    host->set_users({{1, std::string("0123456789abcdef0123456789abcdef01234567")},
                     {2, std::string("AAAA")},
                     {5, std::string("dddd")}});
    host->user_added(0, 5);
    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 dddd 1 1", 1));
    heard late = play(5);
    EXPECT_FLOAT_EQ(late.left, 0.0f);
    EXPECT_FLOAT_EQ(late.right, 1.0f);
    EXPECT_FLOAT_EQ(play(2).left, 0.0f) << "no longer listed";

    host->disconnect(0);
    for (uint32_t user : {1u, 2u, 5u}) {
        heard h = play(user);
        EXPECT_EQ(h.left, 0.0f);
        EXPECT_EQ(h.right, 0.0f);
    }
    host->shutdown();
}

namespace {
struct stereo_factors {
    float left, right;
};

// The constant-power law, as the plugin computes it in single precision.
stereo_factors law(float gain, float pan) {
    return {std::sqrt((1.0f - pan) * 0.5f) * gain, std::sqrt((1.0f + pan) * 0.5f) * gain};
}
const stereo_factors silent = {0.0f, 0.0f};

constexpr uint32_t buffer_frames = 960;  // 20 ms at 48 kHz
constexpr uint32_t ramp_frames = 480;    // 10 ms

// A stereo buffer of ones after the glide from `from` to `to` over `ramp`
// frames: frame i < ramp carries from + (to - from) * (i + 1) / ramp, and
// from frame ramp - 1 on each sample is exactly the law (ramp 0: all of it).
void expect_glide(const std::vector<float> &pcm, stereo_factors from, stereo_factors to, uint32_t ramp,
                  const std::string &what) {
    int reported = 0;
    for (size_t i = 0; i < pcm.size() / 2; ++i)
        for (size_t c = 0; c < 2; ++c) {
            const float a = c ? from.right : from.left, b = c ? to.right : to.left;
            const float got = pcm[2 * i + c];
            const bool ok =
                i + 1 >= ramp
                    ? got == b
                    : std::fabs(got - (a + (static_cast<double>(b) - a) * static_cast<double>(i + 1) / ramp)) <= 1e-6;
            if (!ok && reported++ < 4) ADD_FAILURE() << what << ": frame " << i << " channel " << c << " is " << got;
        }
}
}  // namespace

class audio_glide_host : public audio_host {
  protected:
    void start(const std::string &extra_ini) {
        sandbox->write("quorvane_voice.ini", "server_port=" + std::to_string(peer->port()) +
                                                 "\napi_key=audio-test\nreconnect_sec=1\n" + extra_ini);
        host->register_api();
        host->set_local_user(1);
        host->set_users({{1, std::string("0123456789abcdef0123456789abcdef01234567")},
                         {2, std::string("aaaa")},
                         {3, std::string("bbbb")}});
        ASSERT_EQ(host->init(), 0);
        host->synchronize(0);
    }
    std::vector<float> play_buffer(uint32_t user) {
        std::vector<float> pcm(buffer_frames * 2, 1.0f);
        EXPECT_TRUE(host->audio(pcm.data(), buffer_frames, 2, true, user));
        return pcm;
    }
};

TEST_F(audio_glide_host, a_moving_speaker_glides_fades_out_and_in_and_a_new_server_starts_afresh) {
    ASSERT_NO_FATAL_FAILURE(start(""));
    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 aaaa 1 -1", 1));
    expect_glide(play_buffer(2), law(1, -1), law(1, -1), 0, "first buffer: the plain law");
    expect_glide(play_buffer(2), law(1, -1), law(1, -1), 0, "steady");

    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 aaaa 0.5 0.5, bbbb 0.75 0", 2));
    expect_glide(play_buffer(2), law(1, -1), law(0.5f, 0.5f), ramp_frames, "moved");
    expect_glide(play_buffer(3), law(0.75f, 0), law(0.75f, 0), 0, "another user's first buffer");

    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 bbbb 0.75 0", 1));
    expect_glide(play_buffer(2), law(0.5f, 0.5f), silent, ramp_frames, "dropped: fades out");
    expect_glide(play_buffer(2), silent, silent, 0, "then exact silence");

    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 aaaa 0.25 -1, bbbb 0.75 0", 2));
    expect_glide(play_buffer(2), silent, law(0.25f, -1), ramp_frames, "back in range: fades in");

    // Another server: the falloff connection ends and its speakers are gone;
    // what was applied on the old server is forgotten, so nothing fades.
    // User 3 shows when the speakers are gone (user 2 is kept untouched).
    host->synchronize(1);
    ASSERT_TRUE(eventually([&] { return play(3).left == 0.0f; }, 15000));
    expect_glide(play_buffer(2), silent, silent, 0, "after a new synchronize");
    host->shutdown();
}

TEST_F(audio_glide_host, smooth_transitions_off_gives_the_plain_law_at_once) {
    ASSERT_NO_FATAL_FAILURE(start("smooth_transitions = 0\n"));
    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 aaaa 1 -1", 1));
    play_buffer(2);
    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 aaaa 0.5 0.5", 1));
    expect_glide(play_buffer(2), law(0.5f, 0.5f), law(0.5f, 0.5f), 0, "moved");
    ASSERT_NO_FATAL_FAILURE(server_sends("UPDATE2 bbbb 1 0", 1));
    expect_glide(play_buffer(2), silent, silent, 0, "dropped");
    host->shutdown();
}
