// The audio callback through the real library: users from Mumble's list,
// speakers from the falloff server's lines, silence for everyone else.
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"

#include <memory>
#include <string>

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
        std::string done = "received UPDATE2 with " + std::to_string(speakers) + " speakers";
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
