// The handshake over real loopback connections to the scripted falloff peer:
// acceptance, the fallback to legacy mode, refusals and the revocation.
#include "build_info.h"
#include "core/logging.h"
#include "core/plugin_state.h"
#include "falloff/challenge_response.h"
#include "falloff/handshake.h"
#include "falloff/socket_transport.h"
#include "harness/falloff_peer.h"
#include "harness/sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
const std::string identity = "0123456789abcdef0123456789abcdef01234567";
const std::string credential = "vc1." + std::string(40, 'Q') + "x-_";
const std::string newer_credential = "vc1." + std::string(40, 'N') + "y-_";
const std::string api_key = "shared-api-key-7";
const std::string challenge = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
const std::string hello2_object = R"({"version":"2.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT
                                  R"(","features":["spatial","challenge-auth"]})";
const std::string hello_object =
    R"({"version":"1.0","client":"quorvane-voice","build":")" QV_VERSION_TEXT R"(","features":["spatial"]})";

std::vector<std::string> notices;

mumble_error_t QV_CALL record_notice(mumble_plugin_id_t, const char *text) {
    notices.emplace_back(text);
    return 0;
}

peer_script refuse_hello2(const std::string &answer) {
    return {peer_expect("HELLO2 "), peer_send(answer + "\n"), peer_wait_close()};
}

class handshake_flow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform_network_startup());
        state_lock_setup();
        notices.clear();
        g_state.api_table = {};
        api_table_set<api_slot_log>(g_state.api_table, &record_notice);
        g_state.api_registered = 1;
        g_state.debug_log = 1;
        std::snprintf(g_state.log_path, sizeof g_state.log_path, "%s", box.file("quorvane_voice.log").string().c_str());
        std::snprintf(g_state.token_path, sizeof g_state.token_path, "%s", box.file("token.txt").string().c_str());
        box.write("token.txt", credential + "\r\n");
        std::snprintf(g_state.server_host, sizeof g_state.server_host, "127.0.0.1");
        std::snprintf(g_state.credential, sizeof g_state.credential, "%s", credential.c_str());
        g_state.api_key[0] = '\0';
        g_state.falloff_socket = platform_invalid_socket;
    }
    void TearDown() override {
        if (socket != platform_invalid_socket) platform_socket_close(socket);
        g_state.falloff_socket = platform_invalid_socket;
        g_state.api_registered = 0;
        g_state.debug_log = 0;
        g_state.log_path[0] = '\0';
        g_state.token_path[0] = '\0';
        g_state.credential[0] = '\0';
        g_state.api_key[0] = '\0';
        g_state.server_port = 0;
        platform_network_cleanup();
    }

    // One attempt as the worker makes it: connect, publish, handshake.
    int32_t attempt(falloff_peer &peer, const std::string &credential_copy) {
        g_state.server_port = peer.port();
        socket = platform_invalid_socket;
        if (!falloff_connect(&socket)) return -1;
        state_lock_enter();
        g_state.falloff_socket = socket;
        state_lock_leave();
        return falloff_handshake(&socket, identity.c_str(), credential_copy.c_str(), reply, &unauthorized_count,
                                 &legacy_mode);
    }

    // The refusal must leave no socket behind, in the state or in the caller.
    void expect_closed_and_unpublished() {
        EXPECT_EQ(socket, platform_invalid_socket);
        EXPECT_EQ(g_state.falloff_socket, platform_invalid_socket);
    }

    std::string log_text() const { return box.exists("quorvane_voice.log") ? box.read("quorvane_voice.log") : ""; }
    size_t count_in_log(const std::string &needle) const { return occurrences(log_text(), needle); }

    plugin_sandbox box;
    platform_socket socket = platform_invalid_socket;
    char reply[line_buffer_size];
    int32_t unauthorized_count = 0;
    bool legacy_mode = true;
};
}  // namespace

TEST_F(handshake_flow, token_mode_answers_the_challenge_and_is_accepted) {
    falloff_peer peer({peer_expect("HELLO2 "), peer_send("CHALLENGE " + challenge + "\r\n"), peer_expect("AUTH "),
                       peer_send("OK\n"), peer_wait_close()});
    unauthorized_count = 2;
    ASSERT_EQ(attempt(peer, credential), handshake_accepted);
    EXPECT_FALSE(legacy_mode);
    EXPECT_NE(socket, platform_invalid_socket);
    EXPECT_EQ(g_state.falloff_socket, socket) << "the accepted socket stays published";
    EXPECT_EQ(unauthorized_count, 2) << "the worker resets the count when the connection ends";

    char expected[auth_response_size];
    ASSERT_TRUE(compute_auth_response(credential.c_str(), identity.c_str(), challenge.c_str(), expected));
    std::vector<std::string> lines = peer.lines(0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "HELLO2 " + identity + " " + hello2_object);
    EXPECT_EQ(lines[1], "AUTH " + std::string(expected));
    EXPECT_EQ(peer.connection(0).bytes.find(credential), std::string::npos) << "the credential is never sent";

    platform_socket_close(socket);
    socket = platform_invalid_socket;
    EXPECT_TRUE(peer.wait_until_finished(0));
    EXPECT_TRUE(peer.problems().empty());
    EXPECT_EQ(count_in_log("falloff_hello_rejected"), 0u);
}

TEST_F(handshake_flow, hello2_not_understood_falls_back_to_legacy_on_a_new_connection) {
    std::snprintf(g_state.api_key, sizeof g_state.api_key, "%s", api_key.c_str());
    // The peer serves one connection after the other: the second is only
    // answered once the plugin has closed the first.
    falloff_peer peer(std::vector<peer_script>{
        refuse_hello2("ERR expected HELLO, got HELLO2"),
        {peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close()},
    });
    ASSERT_EQ(attempt(peer, credential), handshake_accepted);
    EXPECT_TRUE(legacy_mode);
    EXPECT_NE(socket, platform_invalid_socket);
    EXPECT_EQ(g_state.falloff_socket, socket) << "the fallback connection is the published one";
    EXPECT_TRUE(peer.connection(0).client_closed);
    ASSERT_EQ(peer.lines(1).size(), 1u);
    EXPECT_EQ(peer.lines(1)[0], "HELLO " + api_key + " " + identity + " " + hello_object);

    platform_socket_close(socket);
    socket = platform_invalid_socket;
    EXPECT_TRUE(peer.wait_until_finished(1));
    EXPECT_TRUE(peer.problems().empty());
    EXPECT_EQ(log_text().find(api_key), std::string::npos) << "the api key is never logged";
}

TEST_F(handshake_flow, token_refusals_without_fallback) {
    // Without an api key "not understood" is a refusal in token mode; "OK"
    // to HELLO2 is refused because token mode always needs the challenge.
    struct row {
        std::string answer;
        int32_t result;
    } rows[] = {
        {"ERR token authentication disabled", handshake_token_unavailable},
        {"OK", handshake_failed},
    };
    for (const row &r : rows) {
        falloff_peer peer(refuse_hello2(r.answer));
        EXPECT_EQ(attempt(peer, credential), r.result) << r.answer;
        EXPECT_FALSE(legacy_mode);
        expect_closed_and_unpublished();
        EXPECT_TRUE(peer.wait_until_finished(0));
        EXPECT_EQ(peer.connection_count(), 1u) << "no second connection";
        EXPECT_EQ(peer.lines(0).size(), 1u) << "no AUTH after " << r.answer;
        EXPECT_EQ(count_in_log("falloff_hello_rejected mode=token reply=" + r.answer + "\r\n"), 1u) << log_text();
        EXPECT_TRUE(peer.problems().empty());
    }
    EXPECT_EQ(unauthorized_count, 0);
}

TEST_F(handshake_flow, third_unauthorized_in_token_mode_revokes_the_credential) {
    // Refused at HELLO2, then at AUTH, then at HELLO2 again.
    falloff_peer peer(std::vector<peer_script>{
        refuse_hello2("ERR unauthorized"),
        {peer_expect("HELLO2 "), peer_send("CHALLENGE " + challenge + "\n"), peer_expect("AUTH "),
         peer_send("ERR unauthorized: bad response\n"), peer_wait_close()},
        refuse_hello2("ERR unauthorized"),
    });
    for (int32_t refusal = 1; refusal <= 2; ++refusal) {
        EXPECT_EQ(attempt(peer, credential), handshake_unauthorized);
        expect_closed_and_unpublished();
        EXPECT_EQ(unauthorized_count, refusal);
        EXPECT_EQ(std::string(g_state.credential), credential);
        EXPECT_TRUE(box.exists("token.txt"));
        EXPECT_TRUE(notices.empty());
    }
    EXPECT_EQ(attempt(peer, credential), handshake_unauthorized);
    expect_closed_and_unpublished();
    EXPECT_EQ(unauthorized_count, 0);
    EXPECT_EQ(std::string(g_state.credential), "");
    EXPECT_FALSE(box.exists("token.txt"));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "[Quorvane Voice] voice credential was revoked; approve proximity voice again");

    EXPECT_EQ(count_in_log("falloff_hello_rejected mode=token reply=ERR unauthorized"), 3u) << log_text();
    EXPECT_EQ(log_text().find(credential), std::string::npos) << "the credential is never logged";
    EXPECT_TRUE(peer.wait_until_finished(2));
    EXPECT_TRUE(peer.problems().empty());
}

TEST_F(handshake_flow, refusals_that_never_revoke) {
    // Legacy mode: the refusal changes nothing but the log.
    std::snprintf(g_state.api_key, sizeof g_state.api_key, "%s", api_key.c_str());
    {
        falloff_peer peer({peer_expect("HELLO "), peer_send("ERR unauthorized\n"), peer_wait_close()});
        unauthorized_count = 2;
        EXPECT_EQ(attempt(peer, ""), handshake_unauthorized);
        EXPECT_TRUE(legacy_mode);
        expect_closed_and_unpublished();
        EXPECT_EQ(unauthorized_count, 2);
        EXPECT_EQ(count_in_log("falloff_hello_rejected mode=legacy reply=ERR unauthorized"), 1u);
    }
    // A credential stored while the refused one was being tried has never
    // been presented: it and its file stay, and the count starts over.
    {
        falloff_peer peer(refuse_hello2("ERR unauthorized"));
        std::snprintf(g_state.credential, sizeof g_state.credential, "%s", newer_credential.c_str());
        box.write("token.txt", newer_credential + "\r\n");
        EXPECT_EQ(attempt(peer, credential), handshake_unauthorized);
        EXPECT_EQ(unauthorized_count, 0);
        EXPECT_EQ(std::string(g_state.credential), newer_credential);
        EXPECT_EQ(box.read("token.txt"), newer_credential + "\r\n");
    }
    EXPECT_TRUE(notices.empty());
}
