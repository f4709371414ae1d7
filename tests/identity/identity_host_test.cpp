// Linking through the real library: a synchronize with no token file starts
// a link at the web peer, the approval page goes to the (test) browser,
// the polls carry the secret, and the credential that comes back is saved
// and taken up by the falloff link in token mode.
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"
#include "harness/sample_player.h"
#include "harness/web_peer.h"

#include <memory>
#include <string>
#include <vector>

namespace {
const std::string &identity = sample::identity;
const std::string &credential = sample::credential;
const std::string &challenge = sample::challenge;
const std::string &expected_auth = sample::auth;
const std::string code = "K7QX-22";
const std::string secret = "poll-secret-5f1c";
const std::string approval = "approve-9a0b";
constexpr int settle_ms = 20000;

std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }
}  // namespace

class identity_host : public host_test {
  protected:
    void TearDown() override {
        if (started) host->shutdown();
        if (falloff) {
            falloff->stop();
            EXPECT_TRUE(falloff->problems().empty()) << falloff->problems().front();
        }
        host_test::TearDown();
    }

    bool noticed(const std::string &text) { return host_test::noticed(text, settle_ms); }

    std::unique_ptr<falloff_peer> falloff;
    bool started = false;
};

TEST_F(identity_host, a_whole_link_from_synchronize_to_a_token_mode_connection) {
    web_peer web;
    ASSERT_TRUE(web.ok()) << web.error();
    web_peer_environment env(web);
    scoped_env opener("QUORVANE_VOICE_TEST_OPENER_LOG", sandbox->file("opened.txt").string());
    const std::string status_path = "/api/voice/link/status?code=" + code;
    ASSERT_TRUE(web.reply("/api/voice/link/start", 201,
                          R"({"status":"pending","code":")" + code + R"(","secret":")" + secret +
                              R"(","approval_secret":")" + approval + R"("})"));
    ASSERT_TRUE(web.reply(status_path, 200, R"({"status":"pending"})"));

    // The falloff server takes the shared key first, then the credential.
    falloff = std::make_unique<falloff_peer>(std::vector<peer_script>{
        {peer_expect("HELLO api-key "), peer_send("OK\n"), peer_wait_close(60000, answer_ping)},
        {peer_expect("HELLO2 " + identity + " "), peer_send("CHALLENGE " + challenge + "\n"), peer_expect("AUTH "),
         peer_send("OK\n"), peer_wait_close(60000, answer_ping)}});
    sandbox->write("quorvane_voice.ini",
                   "server_port=" + std::to_string(falloff->port()) + "\napi_key=api-key\nreconnect_sec=1\n");

    host->register_api();
    host->set_local_user(1);
    host->set_users({{1, identity}});
    ASSERT_EQ(host->init(), 0);
    started = true;
    host->synchronize(0);

    ASSERT_TRUE(noticed("approve proximity voice in your browser (code " + code + ")"));
    // The opener's file exists a moment before its line is written.
    ASSERT_TRUE(eventually(
        [&] {
            std::string opened = sandbox->read("opened.txt");
            return !opened.empty() && opened.back() == '\n';
        },
        settle_ms));
    EXPECT_EQ(sandbox->read("opened.txt"),
              "https://" QV_WEB_HOST "/account/voice?code=" + code + "&approval=" + approval + "\n");
    // A poll or two while the player has not yet approved, then approval.
    ASSERT_TRUE(eventually([&] { return web.requests().size() >= 2; }, settle_ms));
    ASSERT_TRUE(web.reply(status_path, 200, R"({"status":"linked","credential":")" + credential + R"("})"));

    ASSERT_TRUE(noticed("proximity voice linked with a private player credential"));
    EXPECT_EQ(sandbox->read("quorvane_voice_token.txt"), credential + "\r\n");
    EXPECT_EQ(sandbox->read("quorvane_voice_token.txt").size(), 49u);

    // The legacy connection gives way and the next one proves the credential.
    ASSERT_TRUE(falloff->wait_for_lines(1, 2, settle_ms));
    EXPECT_EQ(falloff->lines(1).at(1), "AUTH " + expected_auth);
    ASSERT_TRUE(noticed("connected to falloff 127.0.0.1:" + std::to_string(falloff->port()) +
                        " (per-player credential, connection=2)"));

    std::vector<web_request> requests = web.requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/api/voice/link/start");
    EXPECT_NE(requests[0].headers.find("Content-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(requests[0].body, R"({"certificate_hash":")" + identity + R"(","credential_required":true})");
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].method, "GET");
        EXPECT_EQ(requests[i].path, status_path);
        EXPECT_NE(requests[i].headers.find("X-Voice-Link-Secret: " + secret + "\r\n"), std::string::npos);
        EXPECT_EQ(requests[i].body, "");
    }
    // The whole exchange, for whoever reads the test's output.
    for (const web_request &r : requests)
        std::printf("web peer got: %s %s | %s\n", r.method.c_str(), r.path.c_str(), r.body.c_str());

    std::string log = log_file();
    for (const std::string &hidden : {secret, approval, credential})
        EXPECT_EQ(log.find(hidden), std::string::npos) << "a secret reached the log";
}
