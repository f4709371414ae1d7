// The falloff link through the real library: the worker connects to the
// scripted peer, runs the handshake, feeds the speaker table that the audio
// callback reads, logs why each connection ended, and tells the player once
// per outage that proximity voice is paused.
#include "build_info.h"
#include "harness/falloff_peer.h"
#include "harness/full_queue.h"
#include "harness/host_fixture.h"
#include "harness/sample_player.h"

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {
const std::string &identity = sample::identity;
const std::string api_key = "shared-key-7";
const std::string &credential = sample::credential;
const std::string &challenge = sample::challenge;
const std::string &expected_auth = sample::auth;
const std::string hello_line = "HELLO " + api_key + " " + identity +
                               R"( {"version":"1.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT
                               R"(","features":["spatial"]})";
const std::string hello2_line = "HELLO2 " + identity +
                                R"( {"version":"2.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT
                                R"(","features":["spatial","challenge-auth"]})";
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

    // The plugin against `peer` (or `port`) with the given extra ini lines,
    // synchronized with the local user 1 and users 2 to 4.
    void start(const std::string &ini, uint16_t port = 0) {
        server_port = port != 0 ? port : peer->port();
        ASSERT_NE(server_port, 0);
        sandbox->write("quorvane_voice.ini", "server_host=127.0.0.1\nserver_port=" + std::to_string(server_port) +
                                                 "\nreconnect_sec=1\n" + ini);
        // Started before Mumble joins the server (an earlier row may have left
        // the host on it; with the plugin stopped, leaving sends no event).
        host->disconnect(0);
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
    std::string server() const { return "127.0.0.1:" + std::to_string(server_port); }
    std::string connected(const char *mode, int number) const {
        return "connected to falloff " + server() + " (" + mode + ", connection=" + std::to_string(number) + ")";
    }
    // The three outage notices for this server, reconnect_sec being 1.
    std::string unreachable() const {
        return "[Quorvane Voice] proximity voice paused: cannot reach falloff " + server() + "; retrying every 1 s";
    }
    std::string refused(const std::string &reply) const {
        return "[Quorvane Voice] proximity voice paused: falloff " + server() + " refused the plugin (" + reply +
               "); retrying every 1 s";
    }
    std::string lost(const std::string &reason) const {
        return "[Quorvane Voice] proximity voice paused: lost the connection to falloff " + server() + " (" + reason +
               "); retrying every 1 s";
    }
    // Mumble's log lines about the falloff link: pauses and connections.
    std::vector<std::string> link_notices() const {
        std::vector<std::string> out;
        for (const std::string &line : host->logs())
            if (line.find("proximity voice paused") != std::string::npos ||
                line.find("connected to falloff") != std::string::npos)
                out.push_back(line);
        return out;
    }
    size_t paused_notices() const {
        size_t n = 0;
        for (const std::string &line : host->logs())
            n += line.find("proximity voice paused") != std::string::npos;
        return n;
    }

    std::unique_ptr<falloff_peer> peer;
    uint16_t server_port = 0;
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
    ASSERT_TRUE(logged("falloff_connection_end connection=1 reason=mumble_disconnected "));
    EXPECT_EQ(play(4).left, 0.0f);
    sleep_real_ms(300);
    EXPECT_EQ(peer->connection_count(), 1u);
    EXPECT_EQ(paused_notices(), 0u) << "leaving the Mumble server is no outage";
}

// A player who joins after the listener: Mumble reports the join and the
// channel before it knows the player's hash, so both rebuilds leave them out
// and they stay silenced; when they start talking they are looked up again and
// heard as the speaker line says.
TEST_F(falloff_host, a_player_who_joins_later_is_heard_once_they_talk) {
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{accept_legacy()});
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));
    ASSERT_TRUE(noticed(connected("migration compatibility", 1)));

    host->user_joins(0, 9, "dddd", 1);
    peer->push("UPDATE2 DDDD 0.5 1, aaaa 1 -1\n");
    ASSERT_TRUE(logged("received UPDATE2 with 2 speakers"));
    EXPECT_EQ(play(9).left, 0.0f) << "not yet in the user table: silenced";
    EXPECT_EQ(play(9).right, 0.0f);
    EXPECT_FLOAT_EQ(play(2).left, 1.0f) << "a player who was there first";

    host->talking_state(0, 9, mumble_talking);
    auto [left, right] = play(9);
    EXPECT_FLOAT_EQ(left, 0.0f);
    EXPECT_FLOAT_EQ(right, 0.5f);
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
    EXPECT_EQ(paused_notices(), 0u) << "nor is the upgrade an outage";
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

    // Stopping the plugin ends the live connection with its own reason, and
    // tells the player of no outage.
    size_t paused = paused_notices();
    stop();
    EXPECT_TRUE(std::regex_search(log_file(), std::regex(R"(connection=5 reason=plugin_shutdown err=-?\d+ )")));
    EXPECT_EQ(paused_notices(), paused);
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
    EXPECT_EQ(paused_notices(), 0u) << "neither end was an outage";
}

TEST_F(falloff_host, the_first_failure_of_an_outage_is_told_once_with_its_reason) {
    // Each row is a fresh plugin run against a server whose connections run
    // the scripts in turn; later connections are closed at once (refusals
    // without a reply), so every outage goes on past its first failure.
    const std::string garbled = "ERR \x1b[2J\xc3\xa9\t" + std::string(100, 'x') + "\n";
    enum class kind { unreachable, refused, lost };
    struct row {
        std::vector<peer_script> scripts;
        kind what;
        std::string detail;  // the parenthesis
        const char *why;
    } rows[] = {
        {{}, kind::unreachable, "", "nothing listens on the port"},
        {{{peer_expect("HELLO "), peer_close()}}, kind::refused, "no reply", "closed without a line"},
        {{{peer_expect("HELLO "), peer_send("ERR unauthorized: key retired\n"), peer_wait_close()}},
         kind::refused,
         "ERR unauthorized: key retired",
         "the reply is quoted"},
        {{{peer_expect("HELLO "), peer_send(garbled), peer_wait_close()}},
         kind::refused,
         "ERR ?[2J???" + std::string(69, 'x'),
         "unprintable bytes shown as ?, cut at 80 characters"},
        {{{peer_expect("HELLO "), peer_send("OK\n"), peer_close()}}, kind::lost, "remote_eof", "the server closed"},
        {{{peer_expect("HELLO "), peer_send("OK\n"), peer_send(std::string(8191, 'x')), peer_wait_close()}},
         kind::lost,
         "line_too_long",
         "a line too long"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.why);
        host->clear_logs();
        std::unique_ptr<refused_port> closed;
        if (r.what == kind::unreachable) {
            closed = std::make_unique<refused_port>();
            ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n", closed->port()));
        } else {
            peer = std::make_unique<falloff_peer>(r.scripts);
            ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));
        }

        // Three more failed attempts after the first: the same outage.
        if (closed) {
            size_t before = occurrences(log_file(), "falloff_connect_fail");
            ASSERT_TRUE(
                eventually([&] { return occurrences(log_file(), "falloff_connect_fail") >= before + 4; }, settle_ms));
        } else {
            ASSERT_TRUE(peer->wait_for_connections(r.scripts.size() + 4, settle_ms));
        }
        std::vector<std::string> expected;
        if (r.what == kind::lost) expected.push_back("[Quorvane Voice] " + connected("migration compatibility", 1));
        expected.push_back(r.what == kind::unreachable ? unreachable()
                           : r.what == kind::refused   ? refused(r.detail)
                                                       : lost(r.detail));
        EXPECT_EQ(link_notices(), expected);
        stop();
        if (peer) {
            peer->stop();
            EXPECT_TRUE(peer->problems().empty()) << peer->problems().front();
            peer.reset();
        }
    }
}

TEST_F(falloff_host, an_accepted_connection_ends_the_outage_and_the_next_failure_begins_a_new_one) {
    peer_script busy = {peer_expect("HELLO "), peer_send("ERR busy\n"), peer_wait_close()};
    peer_script dropped = {peer_expect("HELLO "), peer_send("OK\n"), peer_close()};
    peer =
        std::make_unique<falloff_peer>(std::vector<peer_script>{busy, busy, dropped, busy, dropped, accept_legacy()});
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));

    ASSERT_TRUE(noticed(connected("migration compatibility", 3)));
    std::vector<std::string> expected = {
        refused("ERR busy"), "[Quorvane Voice] " + connected("migration compatibility", 1),
        lost("remote_eof"),  "[Quorvane Voice] " + connected("migration compatibility", 2),
        lost("remote_eof"),  "[Quorvane Voice] " + connected("migration compatibility", 3),
    };
    EXPECT_EQ(link_notices(), expected);
    // The plugin's own file still has every refusal.
    EXPECT_EQ(occurrences(log_file(), "falloff_hello_rejected mode=legacy reply=ERR busy\r\n"), 3u);
}

TEST_F(falloff_host, leaving_or_changing_the_mumble_server_is_no_outage) {
    peer = std::make_unique<falloff_peer>(std::vector<peer_script>{accept_legacy(), accept_legacy()});
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n"));
    ASSERT_TRUE(noticed(connected("migration compatibility", 1)));

    // Synchronizing another server ends the connection, which then starts
    // afresh with the new server's identity.
    host->synchronize(0);
    ASSERT_TRUE(noticed(connected("migration compatibility", 2)));
    EXPECT_TRUE(logged("falloff_connection_end connection=1 reason=mumble_synchronized "));

    host->disconnect(0);
    ASSERT_TRUE(logged("falloff_connection_end connection=2 reason=mumble_disconnected "));
    EXPECT_EQ(paused_notices(), 0u);

    // The server goes away while the player is elsewhere; back on a Mumble
    // server, that is the first failure since the last accepted connection.
    peer->stop();
    EXPECT_TRUE(peer->problems().empty()) << peer->problems().front();
    peer.reset();  // the port now refuses
    host->synchronize(0);
    ASSERT_TRUE(noticed(unreachable().substr(std::string("[Quorvane Voice] ").size())));
    EXPECT_EQ(paused_notices(), 1u);
}

TEST_F(falloff_host, shutdown_while_connecting_to_a_full_queue_returns_promptly) {
    full_queue_port busy;
    ASSERT_TRUE(busy.ok()) << "could not fill a loopback accept queue";
    // At real time, where the connect's own time-out is 5 s.
    scoped_env real_time("QUORVANE_VOICE_TEST_TIME_SCALE", "1");
    ASSERT_NO_FATAL_FAILURE(start("api_key=" + api_key + "\n", busy.port()));
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
