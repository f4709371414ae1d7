// Every way a player starts the plugin, as Mumble does each: enabled while
// already on a server (Mumble then calls init alone, with no server event),
// enabled while Mumble still synchronizes, disabled and enabled again,
// "Reload plugins" (shutdown, unload, load, init). And the waits between:
// joining or changing servers and the move to the credential connect at once,
// failures keep their pause.
#include "build_info.h"
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"
#include "harness/process_probe.h"
#include "harness/sample_player.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {
const std::string &identity = sample::identity;
const std::string talker = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1";
const std::string bystander = "b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2";
const std::string api_key = "shared-key-9";
const std::string &credential = sample::credential;
const std::string &challenge = sample::challenge;
const std::string talker_hard_left = "UPDATE2 " + talker + " 1 -1\n";
constexpr uint32_t local_user = 1, talker_user = 2, bystander_user = 3;
constexpr int settle_ms = 15000;
// A pause this long (5000 s at the tests' time scale) would outlast every
// test: a connection that comes at all came without one.
const std::string no_pause_ini = "reconnect_sec=100000\n";

std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }

// Accepts the shared key and lists the talker hard left at once.
peer_script accept_legacy_and_list() {
    return {peer_expect("HELLO "), peer_send("OK\n" + talker_hard_left), peer_wait_close(60000, answer_ping)};
}
peer_script accept_token_and_list() {
    return {peer_expect("HELLO2 "), peer_send("CHALLENGE " + challenge + "\n"), peer_expect("AUTH "),
            peer_send("OK\n" + talker_hard_left), peer_wait_close(60000, answer_ping)};
}

const std::vector<std::string> &announcement() {
    static const std::vector<std::string> lines = {
        "[Quorvane Voice] ----------------------------------------------------",
        "[Quorvane Voice] Quorvane Voice " QV_VERSION_TEXT "  -  proximity voice",
        "[Quorvane Voice] Quorvane Voice found this Mumble identity: " + identity.substr(0, 8) + "...",
        "[Quorvane Voice] A browser approval will open if this certificate is not linked.",
        "[Quorvane Voice] ----------------------------------------------------",
    };
    return lines;
}

size_t count_containing(const std::vector<std::string> &lines, const std::string &part) {
    size_t n = 0;
    for (const std::string &line : lines)
        n += line.find(part) != std::string::npos;
    return n;
}
}  // namespace

class starts : public host_test {
  protected:
    void TearDown() override {
        shut_down_if_started();
        if (peer) {
            peer->stop();
            EXPECT_TRUE(peer->problems().empty()) << peer->problems().front();
        }
        host_test::TearDown();
    }

    // The plugin's ini names the peer (a link attempt meets the fixture's
    // refused web port, so it fails at once).
    void configure(const std::string &extra) {
        ASSERT_NE(peer->port(), 0);
        sandbox->write("quorvane_voice.ini",
                       "server_host=127.0.0.1\nserver_port=" + std::to_string(peer->port()) + "\n" + extra);
        host->register_api();
    }

    // Mumble joins server `connection` with the local user, the talker and a
    // bystander; a started plugin hears of it, a stopped one does not.
    void join(mumble_connection_t connection) {
        host->set_local_user(local_user);
        host->set_users({{local_user, identity}, {talker_user, talker}, {bystander_user, bystander}});
        host->synchronize(connection);
    }

    // The talker hard left and the bystander silenced: the falloff line is
    // applied to the users Mumble knows.
    bool heard_as_listed() const {
        return eventually(
            [&] {
                heard t = play(talker_user), b = play(bystander_user);
                return t.left == 1.0f && t.right == 0.0f && b.left == 0.0f && b.right == 0.0f;
            },
            settle_ms);
    }

    // A buffer of ones from `user` comes back untouched, the callback saying
    // it changed nothing.
    bool plays_unchanged(uint32_t user) const {
        float pcm[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        bool changed = host->audio(pcm, 2, 2, true, user);
        return !changed && pcm[0] == 1.0f && pcm[1] == 1.0f && pcm[2] == 1.0f && pcm[3] == 1.0f;
    }

    // A joined thread can stay listed by the system for a moment after it
    // has ended.
    static bool no_plugin_thread() {
        return eventually([] { return plugin_thread_count() == 0; }, 2000);
    }

    std::vector<std::string> since_loaded() const {
        std::vector<std::string> logs = host->logs();
        if (!logs.empty()) logs.erase(logs.begin());  // the "loaded …" notice
        return logs;
    }

    std::unique_ptr<falloff_peer> peer;
};

TEST_F(starts, enabled_on_a_synchronized_server_the_plugin_takes_it_up_like_its_synchronize) {
    peer = std::make_unique<falloff_peer>(accept_legacy_and_list());
    ASSERT_NO_FATAL_FAILURE(configure("api_key=" + api_key + "\n" + no_pause_ini));
    host->connect(7);
    join(7);  // before the plugin starts: it hears nothing of it
    ASSERT_EQ(host->init(), 0);

    // The identity is announced, the falloff connection made with it, the
    // users' table built, and a link started, all from init alone.
    std::vector<std::string> after_init = since_loaded();
    ASSERT_GE(after_init.size(), announcement().size());
    EXPECT_EQ(std::vector<std::string>(after_init.begin(), after_init.begin() + 5), announcement());
    ASSERT_TRUE(peer->wait_for_lines(0, 1, settle_ms));
    EXPECT_EQ(peer->lines(0).at(0).rfind("HELLO " + api_key + " " + identity + " ", 0), 0u);
    EXPECT_TRUE(heard_as_listed());
    EXPECT_TRUE(logged("refreshed 3 Mumble user hashes", settle_ms));
    EXPECT_TRUE(logged("voice_identity_start_transport_failed", settle_ms)) << "the link was attempted";
    EXPECT_EQ(log_file().find("mumble_connection_query_failed"), std::string::npos);
}

TEST_F(starts, enabled_while_mumble_still_synchronizes_the_plugin_waits_for_the_event) {
    peer = std::make_unique<falloff_peer>(accept_legacy_and_list());
    ASSERT_NO_FATAL_FAILURE(configure("api_key=" + api_key + "\n" + no_pause_ini));
    host->connect(7);
    ASSERT_EQ(host->init(), 0);
    sleep_real_ms(300);
    EXPECT_TRUE(since_loaded().empty()) << "no identity before the synchronize";
    EXPECT_EQ(peer->connection_count(), 0u);
    EXPECT_EQ(play(talker_user).left, 0.0f) << "fail-closed meanwhile";

    join(7);
    EXPECT_EQ(since_loaded(), announcement());
    ASSERT_TRUE(peer->wait_for_lines(0, 1, settle_ms));
    EXPECT_TRUE(heard_as_listed());
}

TEST_F(starts, without_a_server_or_with_a_host_error_the_start_waits_for_the_next_event) {
    struct row {
        const char *name;
        bool on_server;
        mumble_error_t active_result, synchronized_result;
        bool no_query_slot;
        const char *logged;  // the one line about the host error, if any
    } rows[] = {
        {"no server at all", false, 0, 0, false, nullptr},
        {"getActiveServerConnection fails", true, -1, 0, false,
         "mumble_connection_query_failed call=getActiveServerConnection err=-1\r\n"},
        {"isConnectionSynchronized fails", true, 0, mumble_error_connection_not_found, false,
         "mumble_connection_query_failed call=isConnectionSynchronized err=5\r\n"},
        {"no getActiveServerConnection in the table", true, 0, 0, true, nullptr},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_NO_FATAL_FAILURE(open("plugin"));
        peer = std::make_unique<falloff_peer>(accept_legacy_and_list());
        ASSERT_NO_FATAL_FAILURE(configure("api_key=" + api_key + "\n" + no_pause_ini));
        if (r.no_query_slot) {
            mumble_api_table table = host->table();
            table.slots[api_slot_get_active_server_connection] = nullptr;
            host->register_table(&table);
        }
        if (r.on_server) join(7);
        host->set_connection_query_results(r.active_result, r.synchronized_result);
        ASSERT_EQ(host->init(), 0);
        EXPECT_TRUE(since_loaded().empty());
        std::string log = log_file();
        EXPECT_EQ(occurrences(log, "mumble_connection_query_failed"), r.logged ? 1u : 0u) << log;
        if (r.logged) {
            EXPECT_NE(log.find(r.logged), std::string::npos) << log;
        }

        // The next synchronize works as ever.
        host->set_connection_query_results(0, 0);
        join(7);
        EXPECT_EQ(since_loaded(), announcement());
        ASSERT_TRUE(peer->wait_for_lines(0, 1, settle_ms));
        host->shutdown();
        peer->stop();
        EXPECT_TRUE(peer->problems().empty()) << peer->problems().front();
        peer.reset();
    }
}

TEST_F(starts, joining_changing_or_rejoining_a_server_connects_at_once) {
    peer = std::make_unique<falloff_peer>(accept_legacy_and_list());
    ASSERT_NO_FATAL_FAILURE(configure("api_key=" + api_key + "\n" + no_pause_ini));
    ASSERT_EQ(host->init(), 0);
    sleep_real_ms(100);  // the workers idle: no server yet
    EXPECT_EQ(peer->connection_count(), 0u);

    join(0);
    ASSERT_TRUE(peer->wait_for_lines(0, 1, settle_ms)) << "join";
    EXPECT_TRUE(heard_as_listed());
    join(1);  // to another server, without a disconnect between
    ASSERT_TRUE(peer->wait_for_lines(1, 1, settle_ms)) << "change";
    EXPECT_TRUE(heard_as_listed());
    host->disconnect(1);
    join(2);
    ASSERT_TRUE(peer->wait_for_lines(2, 1, settle_ms)) << "leave and join again";
    EXPECT_TRUE(heard_as_listed());
    EXPECT_EQ(count_containing(host->logs(), "proximity voice paused"), 0u);
}

TEST_F(starts, the_move_to_the_credential_reconnects_at_once) {
    // HELLO2 is not taken, so each token attempt falls back to the shared
    // key; with the credential held, every legacy connection is upgraded.
    peer = std::make_unique<falloff_peer>([](size_t, const std::string &first) -> peer_script {
        if (first.rfind("HELLO2 ", 0) == 0)
            return {peer_send("ERR token authentication disabled\n"), peer_wait_close()};
        return {peer_send("OK\n" + talker_hard_left), peer_wait_close(60000, answer_ping)};
    });
    sandbox->write("quorvane_voice_token.txt", credential + "\r\n");
    ASSERT_NO_FATAL_FAILURE(configure("api_key=" + api_key + "\n" + no_pause_ini));
    join(0);
    ASSERT_EQ(host->init(), 0);
    // Token attempt, its fallback, the upgrade's token attempt, its fallback.
    ASSERT_TRUE(peer->wait_for_lines(3, 1, settle_ms));
    EXPECT_EQ(peer->lines(2).at(0).rfind("HELLO2 ", 0), 0u);
    EXPECT_TRUE(logged("reason=credential_upgrade", settle_ms));
    EXPECT_TRUE(heard_as_listed());
}

TEST_F(starts, a_failure_keeps_its_pause_whatever_mumble_does_meanwhile) {
    peer = std::make_unique<falloff_peer>(
        peer_script{peer_expect("HELLO "), peer_send("ERR unauthorized\n"), peer_wait_close()});
    ASSERT_NO_FATAL_FAILURE(configure("api_key=" + api_key + "\n" + no_pause_ini));
    ASSERT_EQ(host->init(), 0);
    join(0);
    // The refusal is told, and the pause it owes has begun.
    ASSERT_TRUE(eventually([&] { return count_containing(host->logs(), "refused the plugin") == 1; }, settle_ms));
    // A new server does not cut the pause that spares a refusing falloff server.
    join(1);
    sleep_real_ms(1000);
    EXPECT_EQ(peer->connection_count(), 1u);
}

TEST_F(starts, disabled_and_enabled_again_on_a_server_twenty_times) {
    // Token mode: the identity worker stays idle, so nothing but the
    // plugin's own threads and sockets come and go.
    peer = std::make_unique<falloff_peer>(accept_token_and_list());
    sandbox->write("quorvane_voice_token.txt", credential + "\r\n");
    ASSERT_NO_FATAL_FAILURE(configure(no_pause_ini));
    join(0);
    constexpr size_t rounds = 20;
    size_t handles = 0;
    for (size_t round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(host->init(), 0);
        ASSERT_TRUE(peer->wait_for_lines(round, 2, settle_ms));
        EXPECT_TRUE(heard_as_listed());
        EXPECT_EQ(plugin_thread_count(), 2u) << "both workers run";
        host->shutdown();
        EXPECT_TRUE(no_plugin_thread()) << "a thread left behind";
        // Disabled: from the next buffer on, every voice plays as it came.
        EXPECT_TRUE(plays_unchanged(talker_user));
        EXPECT_TRUE(plays_unchanged(bystander_user));
        ASSERT_TRUE(peer->wait_until_finished(round, settle_ms));
        EXPECT_TRUE(peer->connection(round).client_closed);
        // The system's own handles settle in the first round.
        if (round == 0) handles = process_handle_count();
    }
    EXPECT_EQ(process_handle_count(), handles) << "a handle left behind";
    // Each start: its loaded notice, the announcement, one connection.
    std::vector<std::string> logs = host->logs();
    EXPECT_EQ(logs.size(), rounds * 7);
    EXPECT_EQ(count_containing(logs, "loaded version="), rounds);
    EXPECT_EQ(count_containing(logs, "connected to falloff"), rounds);
    EXPECT_EQ(count_containing(logs, "proximity voice paused"), 0u);
}

TEST_F(starts, reload_plugins_on_a_server_unloads_and_starts_the_library_afresh) {
    peer = std::make_unique<falloff_peer>(accept_token_and_list());
    sandbox->write("quorvane_voice_token.txt", credential + "\r\n");
    ASSERT_NO_FATAL_FAILURE(configure(no_pause_ini));
    join(0);
    ASSERT_EQ(host->init(), 0);
    ASSERT_TRUE(peer->wait_for_lines(0, 2, settle_ms));
    EXPECT_TRUE(heard_as_listed());
    for (size_t round = 1; round <= 3; ++round) {
        SCOPED_TRACE("reload " + std::to_string(round));
        // Mumble's "Reload plugins": shutdown, unload, load, start.
        host->shutdown();
        EXPECT_TRUE(no_plugin_thread()) << "a thread still running before the unload";
        ASSERT_TRUE(host->reload()) << host->load_error();
        host->register_api();
        ASSERT_EQ(host->init(), 0);
        ASSERT_TRUE(peer->wait_for_lines(round, 2, settle_ms));
        EXPECT_TRUE(heard_as_listed());
    }
    EXPECT_EQ(count_containing(host->logs(), "proximity voice paused"), 0u);
}
