// The falloff link through the real library: the worker connects to the
// scripted peer, runs the handshake, feeds the speaker table that the audio
// callback reads, and logs why each connection ended.
#include "harness/falloff_peer.h"
#include "harness/full_queue.h"
#include "harness/host_fixture.h"

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {
const std::string identity = "0123456789abcdef0123456789abcdef01234567";
const std::string api_key = "shared-key-7";
const std::string credential = "vc1.Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-xyz";
const std::string challenge = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
// HMAC-SHA-256 of "quorvane-voice-v2\n<identity>\n<challenge>" keyed with
// SHA-256(credential), worked out independently of the plugin.
const std::string expected_auth = "184dd02326ec2cfb57fbc6670b2f5c69799e8863efaa626c1c7eef6991daca5e";
const std::string hello_line =
    "HELLO " + api_key + " " + identity +
    R"( {"version":"1.0","client":"quorvane-voice","build":"0.2.7-alpha","features":["spatial"]})";
const std::string hello2_line =
    "HELLO2 " + identity +
    R"( {"version":"2.0","client":"quorvane-voice","build":"0.2.7-alpha","features":["spatial","challenge-auth"]})";
const std::string token_file = "quorvane_voice_token.txt";
// Real milliseconds the tests give the plugin to reach a state (generous:
// the sanitizer builds and Wine are slow).
constexpr int settle_ms = 15000;

// Answers the plugin's keepalive as a server would.
std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }

peer_script accept_legacy() { return {peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close(60000, answer_ping)}; }

peer_script accept_token() {
    return {peer_expect("HELLO2 "), peer_send("CHALLENGE " + challenge + "\n"), peer_expect("AUTH "), peer_send("OK\n"),
            peer_wait_close(60000, answer_ping)};
}

}  // namespace

class falloff_host : public host_test {
  protected:
    void TearDown() override {
        if (started) host->shutdown();
        if (peer) {
            peer->stop();
            EXPECT_TRUE(peer->problems().empty()) << peer->problems().front();
        }
        host_test::TearDown();
    }

    // The plugin against `peer` with the given extra ini lines, synchronized
    // with the local user 1 and users 2 to 4.
    void start(const std::string &ini) {
        ASSERT_NE(peer->port(), 0);
        start_at(peer->port(), ini);
    }
    void start_at(uint16_t port, const std::string &ini) {
        sandbox->write("quorvane_voice.ini",
                       "server_host=127.0.0.1\nserver_port=" + std::to_string(port) + "\nreconnect_sec=1\n" + ini);
        host->register_api();
        host->set_local_user(1);
        host->set_users({{1, identity}, {2, std::string("AAAA")}, {3, std::string("bbbb")}, {4, std::string("cccc")}});
        ASSERT_EQ(host->init(), 0);
        started = true;
        host->synchronize(0);
    }

    void stop() {
        host->shutdown();
        started = false;
    }

    bool logged(const std::string &text) { return host_test::logged(text, settle_ms); }
    bool noticed(const std::string &text) { return host_test::noticed(text, settle_ms); }
    std::string connected(const char *mode, int number) const {
        return "connected to falloff 127.0.0.1:" + std::to_string(peer->port()) + " (" + mode +
               ", connection=" + std::to_string(number) + ")";
    }

    std::unique_ptr<falloff_peer> peer;
    bool started = false;
};

TEST_F(falloff_host, a_legacy_connection_carries_update2_to_the_audio_until_mumble_disconnects) {
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{accept_legacy()});
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));

    ASSERT_TRUE(noticed(connected("migration compatibility", 1)));
    EXPECT_EQ(peer->lines(0).at(0), hello_line);
    EXPECT_EQ(play(2).left, 0.0f) << "nobody is heard before the first speaker line";

    peer->push("UPDATE2 aaaa 1 -1, BBBB 0.5 0, zzzz 1 1\n");
    ASSERT_TRUE(logged("received UPDATE2 with 3 speakers"));
    struct row {
        uint32_t user;
        float left, right;
        const char *why;
    } rows[] = {
        {2, 1.0f, 0.0f, "listed at full left (hash case differs)"},
        {3, 0.5f * centre, 0.5f * centre, "listed at half gain, centred"},
        {4, 0.0f, 0.0f, "known to Mumble, not listed"},
    };
    for (const row &r : rows) {
        auto [left, right] = play(r.user);
        EXPECT_FLOAT_EQ(left, r.left) << r.why;
        EXPECT_FLOAT_EQ(right, r.right) << r.why;
    }

    // A speaker line replaces the whole picture.
    peer->push("UPDATE cccc 0.25\n");
    ASSERT_TRUE(logged("received UPDATE with 1 speakers"));
    EXPECT_EQ(play(2).left, 0.0f);
    EXPECT_FLOAT_EQ(play(4).left, 0.25f * centre);

    // Mumble's disconnect ends the connection at once and silences everyone;
    // with no identity the worker makes no further attempt.
    host->disconnect(0);
    ASSERT_TRUE(peer->wait_until_finished(0, settle_ms));
    ASSERT_TRUE(logged("falloff_connection_end connection=1 reason="));
    EXPECT_EQ(play(4).left, 0.0f);
    sleep_real_ms(300);
    EXPECT_EQ(peer->connection_count(), 1u);
}

TEST_F(falloff_host, a_token_file_makes_the_connection_answer_the_challenge) {
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{accept_token()});
    sandbox->write(token_file, credential + "\r\n");
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));

    ASSERT_TRUE(noticed(connected("per-player credential", 1)));
    std::vector<std::string> lines = peer->lines(0);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], hello2_line);
    EXPECT_EQ(lines[1], "AUTH " + expected_auth);
    EXPECT_EQ(peer->connection(0).bytes.find(credential), std::string::npos) << "the credential never goes out";
    EXPECT_EQ(log_file().find(credential), std::string::npos) << "nor into the log";
}

TEST_F(falloff_host, the_third_refusal_in_a_row_revokes_the_credential_and_deletes_its_file) {
    peer_script refuse = {peer_expect("HELLO2 "), peer_send("ERR unauthorized\n"), peer_wait_close()};
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{refuse, refuse, refuse});
    sandbox->write(token_file, credential + "\r\n");
    ASSERT_NO_FATAL_FAILURE(start(""));  // no api key: nothing to fall back to

    ASSERT_TRUE(noticed("voice credential was revoked; approve proximity voice again"));
    EXPECT_FALSE(sandbox->exists(token_file));
    EXPECT_EQ(occurrences(log_file(), "falloff_hello_rejected mode=token reply=ERR unauthorized\r\n"), 3u);
    // Without a credential or an api key the worker no longer connects.
    sleep_real_ms(300);
    EXPECT_EQ(peer->connection_count(), 3u);
}

TEST_F(falloff_host, a_fallback_connection_gives_way_to_token_mode_once_the_credential_check_runs) {
    peer = std::make_unique<falloff_peer>([](size_t, const std::string &first) -> peer_script {
        if (first.rfind("HELLO2 ", 0) == 0)
            return {peer_send("ERR token authentication disabled\n"), peer_wait_close()};
        return {peer_send("OK\n"), peer_wait_close(60000, answer_ping)};
    });
    sandbox->write(token_file, credential + "\r\n");
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));

    ASSERT_TRUE(noticed(connected("migration compatibility", 1)));
    // Connections: the token attempt, its legacy fallback, then after the
    // upgrade a token attempt again.
    ASSERT_TRUE(peer->wait_for_lines(2, 1, settle_ms));
    EXPECT_EQ(peer->lines(1).at(0), hello_line);
    EXPECT_EQ(peer->lines(2).at(0), hello2_line);
    std::smatch m;
    std::string log = log_file();
    ASSERT_TRUE(std::regex_search(
        log, m,
        std::regex(R"(falloff_connection_end connection=1 reason=credential_upgrade err=0 connected_ms=(\d+) )")))
        << log;
    EXPECT_GT(std::stoul(m[1].str()), 4000u) << "the check runs only after 4 seconds";
    EXPECT_EQ(occurrences(log, "falloff_hello_rejected"), 0u) << "a fallback that is accepted is no refusal";
}

TEST_F(falloff_host, keepalive_and_the_servers_ping_on_a_quiet_connection) {
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{accept_legacy()});
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));
    ASSERT_TRUE(noticed(connected("migration compatibility", 1)));

    // Only the exact line is the server's PING.
    peer->push("PING \nPING\n");
    // Keepalives go out every 20 to 25 seconds of the plugin's clock, which
    // runs faster here; silences between lines never end the connection.
    ASSERT_TRUE(eventually([&] { return occurrences(peer->connection(0).bytes, "PING\n") >= 2; }, settle_ms));
    std::string sent = peer->connection(0).bytes;
    EXPECT_EQ(occurrences(sent, "OK\n"), 1u) << sent;
    EXPECT_EQ(log_file().find("falloff_connection_end"), std::string::npos) << "the connection stays up";
}

TEST_F(falloff_host, every_connection_end_is_logged_with_its_reason) {
    const std::string long_line(8191, 'x');
    auto accepted_then = [](std::vector<peer_step> tail) {
        peer_script s = {peer_expect("HELLO "), peer_send("OK\n")};
        s.insert(s.end(), tail.begin(), tail.end());
        return s;
    };
    struct row {
        peer_script script;
        const char *end;  // the end line's pattern; empty for a refusal
    } rows[] = {
        {accepted_then({peer_close()}), R"(connection=1 reason=remote_eof err=0 connected_ms=\d+ last_update_ms=0)"},
        {{peer_expect("HELLO "), peer_send("ERR busy\n"), peer_wait_close()}, ""},
        {accepted_then({peer_send("UPDATE2 aaaa 1 0\nUPD"), peer_wait_close()}),
         R"(connection=2 reason=partial_line_timeout err=[1-9]\d* connected_ms=\d+ last_update_ms=[1-9]\d*)"},
        {accepted_then({peer_send(long_line), peer_wait_close()}), R"(connection=3 reason=line_too_long err=0 )"},
        {accepted_then({peer_reset()}), R"(connection=4 reason=(receive_error err=[1-9]\d*|remote_eof err=0) )"},
        {accept_legacy(), ""},
    };
    std::vector<peer_script> scripts;
    for (const row &r : rows)
        scripts.push_back(r.script);
    peer = std::make_unique<falloff_peer>(scripts);
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));

    ASSERT_TRUE(noticed(connected("migration compatibility", 5)));
    std::string log = log_file();
    for (const row &r : rows) {
        if (*r.end == '\0') continue;
        EXPECT_TRUE(std::regex_search(log, std::regex(std::string("falloff_connection_end ") + r.end))) << r.end;
    }
    EXPECT_NE(log.find("falloff_hello_rejected mode=legacy reply=ERR busy\r\n"), std::string::npos);
    EXPECT_EQ(play(2).left, 0.0f) << "the speaker table is empty on a new connection";

    // Stopping the plugin ends the live connection with its own reason.
    stop();
    EXPECT_TRUE(std::regex_search(log_file(), std::regex(R"(connection=5 reason=plugin_shutdown err=-?\d+ )")));
    EXPECT_TRUE(peer->wait_until_finished(5, settle_ms));
}

TEST_F(falloff_host, a_stop_or_a_disconnect_during_the_handshake_ends_the_attempt) {
    // The server takes HELLO and never answers.
    peer_script silent = {peer_expect("HELLO "), peer_wait_close(60000)};
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{silent, silent});
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));

    ASSERT_TRUE(peer->wait_for_lines(0, 1, settle_ms));
    host->disconnect(0);
    ASSERT_TRUE(peer->wait_until_finished(0, settle_ms));
    EXPECT_TRUE(logged("falloff_hello_rejected mode=legacy reply=\r\n"));

    host->synchronize(0);
    ASSERT_TRUE(peer->wait_for_lines(1, 1, settle_ms));
    stop();
    EXPECT_TRUE(peer->wait_until_finished(1, settle_ms)) << "the plugin closed its end";
    EXPECT_EQ(peer->connection_count(), 2u);
}

TEST_F(falloff_host, shutdown_while_connecting_to_a_full_queue_returns_promptly) {
    full_queue_port busy;
    ASSERT_TRUE(busy.ok()) << "could not fill a loopback accept queue";
    // At real time, where the connect's own time-out is 5 s.
    scoped_env real_time("QUORVANE_VOICE_TEST_TIME_SCALE", "1");
    ASSERT_NO_FATAL_FAILURE(start_at(busy.port(), "api_key=" + api_key + "\n"));
    ASSERT_TRUE(logged("falloff_connect_attempt host=127.0.0.1 port=" + std::to_string(busy.port())));
    sleep_real_ms(500);  // well inside the connect's wait
    ASSERT_EQ(log_file().find("falloff_connect_fail"), std::string::npos) << "the connect is still waiting";

    auto begun = std::chrono::steady_clock::now();
    stop();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun);
    std::printf("shutdown while connecting to a full queue: %lld ms\n", static_cast<long long>(took.count()));
    // The bound is 250 ms; the margin is for sanitizers, Wine and a busy machine.
    EXPECT_LT(took.count(), 1000);
}
