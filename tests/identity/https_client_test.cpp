// http_request against the HTTPS web-service peer: what goes on the wire,
// what comes back, the requests that must fail, the abandon at shutdown, and
// the update check through the real development library.
#include "identity/https_client.h"
#include "build_info.h"
#include "core/plugin_state.h"
#include "harness/falloff_peer.h"  // refused_port
#include "harness/host_fixture.h"
#include "harness/web_peer.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {
constexpr char user_agent_line[] = "User-Agent: QuorvaneVoice/" QV_VERSION_TEXT "\r\n";

struct http_result {
    bool ok = false;
    uint32_t status = 0;
    std::string body;
};

// Outputs start dirty, so a failure that forgets to reset them shows.
http_result request(const char *method, const std::string &path, const char *headers = nullptr,
                    const char *body = nullptr) {
    char response[http_response_size];
    std::memset(response, 'x', sizeof response);
    http_result r;
    r.status = 777;
    r.ok = http_request(method, path.c_str(), headers, body, &r.status, response);
    r.body.assign(response, strnlen(response, sizeof response));
    return r;
}

class https_client : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(peer.ok()) << peer.error(); }
    web_peer peer;
};
}  // namespace

TEST_F(https_client, sends_method_path_headers_body_and_agent_verbatim) {
    ASSERT_TRUE(peer.reply("/api/voice/link/start?x=1&y=%41", 201, R"({"status":"pending"})"));
    ASSERT_TRUE(peer.reply("/api/voice/releases/stable.json", 200, "{}"));
    web_peer_environment env(peer);

    const std::string body = R"({"certificate_hash":"ab12","credential_required":true})";
    http_result post = request("POST", "/api/voice/link/start?x=1&y=%41",
                               "Content-Type: application/json\r\nX-Voice-Link-Secret: s3cr3t value\r\n", body.c_str());
    EXPECT_TRUE(post.ok);
    EXPECT_EQ(post.status, 201u);
    EXPECT_EQ(post.body, R"({"status":"pending"})");

    http_result get = request("GET", "/api/voice/releases/stable.json", "", "");
    EXPECT_TRUE(get.ok);
    EXPECT_EQ(get.status, 200u);
    EXPECT_EQ(get.body, "{}");

    auto seen = peer.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/api/voice/link/start?x=1&y=%41");
    EXPECT_EQ(seen[0].body, body);
    const std::string length_line = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string lines[] = {"Content-Type: application/json\r\n", "X-Voice-Link-Secret: s3cr3t value\r\n",
                                 user_agent_line, length_line};
    for (const auto &line : lines)
        EXPECT_NE(seen[0].headers.find(line), std::string::npos) << line << " not in\n" << seen[0].headers;
    // Only the caller's content type: none of the client's own.
    EXPECT_EQ(seen[0].headers.find("Content-Type:"), seen[0].headers.rfind("Content-Type:")) << seen[0].headers;

    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].body, "");
    EXPECT_NE(seen[1].headers.find(user_agent_line), std::string::npos) << seen[1].headers;
    EXPECT_EQ(seen[1].headers.find("Content-Type:"), std::string::npos) << seen[1].headers;
}

// Any status is a response; the body is cut to the buffer and still a success.
TEST_F(https_client, returns_every_status_and_cuts_the_body_at_4095_bytes) {
    const std::string big(5000, 'b');
    const std::string path_1023 = "/" + std::string(1022, 'p');
    struct reply_case {
        std::string path;
        int status;
        std::string body;
        std::string expected;
    } cases[] = {
        {"/missing", 404, R"({"error":"not found"})", R"({"error":"not found"})"},
        {"/broken", 500, "oops", "oops"},
        {"/empty", 200, "", ""},
        {"/big", 200, big, big.substr(0, http_response_size - 1)},
        {path_1023, 200, "longest path", "longest path"},
    };
    web_peer_environment env(peer);
    for (const auto &c : cases) {
        ASSERT_TRUE(peer.reply(c.path, c.status, c.body));
        http_result r = request("GET", c.path);
        EXPECT_TRUE(r.ok) << c.path.substr(0, 16);
        EXPECT_EQ(r.status, static_cast<uint32_t>(c.status)) << c.path.substr(0, 16);
        EXPECT_EQ(r.body, c.expected) << c.path.substr(0, 16);
    }
}

TEST_F(https_client, fails_with_status_0_and_empty_body_when_no_response_arrives) {
    refused_port refused;
    struct failure_case {
        const char *name;
        uint16_t port;
        std::string method;
        std::string path;
    } cases[] = {
        {"refused connection", refused.port(), "GET", "/api"},
        {"untrusted certificate", peer.untrusted_port(), "GET", "/api"},
        {"method of 16", peer.port(), std::string(16, 'M'), "/api"},
        {"path of 1024", peer.port(), "GET", "/" + std::string(1023, 'p')},
    };
    for (const auto &c : cases) {
        scoped_env host("QUORVANE_VOICE_TEST_WEB_HOST", "localhost");
        scoped_env port("QUORVANE_VOICE_TEST_WEB_PORT", std::to_string(c.port));
        scoped_env ca("QUORVANE_VOICE_TEST_WEB_CA", peer.ca_file());
        http_result r = request(c.method.c_str(), c.path);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.status, 0u) << c.name;
        EXPECT_EQ(r.body, "") << c.name;
    }
    // Nothing reached the peer: the long ones were refused before sending,
    // the untrusted one in the handshake.
    EXPECT_TRUE(peer.requests().empty());

    // A missing method or path leaves both outputs as they were.
    char response[8] = "keep";
    uint32_t status = 9;
    EXPECT_FALSE(http_request(nullptr, "/api", nullptr, nullptr, &status, response));
    EXPECT_FALSE(http_request("GET", nullptr, nullptr, nullptr, &status, response));
    EXPECT_EQ(status, 9u);
    EXPECT_STREQ(response, "keep");
}

// A redirect is the answer the caller sees. Nothing follows it, so the link
// secret never travels to the address it names.
TEST_F(https_client, a_redirect_is_the_answer_and_nothing_follows_it) {
    web_peer elsewhere;
    ASSERT_TRUE(elsewhere.ok()) << elsewhere.error();
    ASSERT_TRUE(elsewhere.reply("/landing", 200, R"({"status":"linked"})"));
    web_reply_shape moved;
    moved.headers = {"Location: https://localhost:" + std::to_string(elsewhere.port()) + "/landing"};
    struct redirect_case {
        int status;
        const char *method;
        const char *body;
    } cases[] = {
        {301, "GET", nullptr}, {302, "GET", nullptr}, {303, "POST", "{}"}, {307, "POST", "{}"}, {308, "GET", nullptr}};
    web_peer_environment env(peer);
    for (const auto &c : cases) {
        const std::string path = "/api/voice/link/status?code=R" + std::to_string(c.status);
        ASSERT_TRUE(peer.reply(path, c.status, R"({"moved":true})", moved));
        http_result r = request(c.method, path, "X-Voice-Link-Secret: s3cr3t\r\n", c.body);
        EXPECT_TRUE(r.ok) << c.status;
        EXPECT_EQ(r.status, static_cast<uint32_t>(c.status));
        EXPECT_EQ(r.body, R"({"moved":true})") << c.status;
    }
    EXPECT_EQ(peer.requests().size(), std::size(cases));
    EXPECT_TRUE(elsewhere.requests().empty()) << "a redirect was followed";
}

namespace {
// The whole-request deadline, 30 s, in real time under a test time scale.
constexpr int deadline_scale = 10;
constexpr int scaled_deadline_ms = 30000 / deadline_scale;
constexpr int deadline_margin_ms = 4000;

struct scoped_time_scale {
    explicit scoped_time_scale(double factor) { platform_set_time_scale(factor); }
    ~scoped_time_scale() { platform_set_time_scale(1); }
};

int elapsed_ms(std::chrono::steady_clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}
}  // namespace

// However slowly the server sends, a request ends at its deadline, and one
// that reaches it is a failure, even with the header block in.
TEST_F(https_client, no_request_outlives_its_deadline) {
    scoped_time_scale scale(deadline_scale);
    const std::string long_body(2000, 'd');
    web_reply_shape header_drip, body_drip, stall;
    header_drip.drip_ms = 500;  // the header block alone takes about 20 s
    body_drip.drip_ms = 20;     // the header block in 1 s, the body in 20 s
    stall.stall_after = 10;
    struct slow_case {
        const char *what;
        web_reply_shape shape;
        std::string body;
        bool may_end_as_a_stall = false;
    } cases[] = {
        {"header block dripped", header_drip, R"({"version":"9.9.9"})"},
        {"body dripped", body_drip, long_body},
        // The receive time-out may end it first: then what came is the answer.
        {"body stalled part-way", stall, long_body, true},
    };
    web_peer_environment env(peer);
    for (const auto &c : cases) {
        const std::string path = "/slow/" + std::to_string(&c - cases);
        ASSERT_TRUE(peer.reply(path, 200, c.body, c.shape));
        auto began = std::chrono::steady_clock::now();
        http_result r = request("GET", path);
        EXPECT_LT(elapsed_ms(began), scaled_deadline_ms + deadline_margin_ms) << c.what;
        if (c.may_end_as_a_stall && r.ok) {
            EXPECT_EQ(r.status, 200u) << c.what;
            EXPECT_EQ(r.body, c.body.substr(0, c.shape.stall_after)) << c.what;
        } else {
            EXPECT_FALSE(r.ok) << c.what;
            EXPECT_EQ(r.status, 0u) << c.what;
            EXPECT_EQ(r.body, "") << c.what;
        }
    }
}

// A worker's request that the peer holds is given up once the session stops,
// within a small part of shutdown's budget and long before its own time-outs
// (8 s to receive) would end it, and reports a failure, never the late reply.
// A request on a host thread is left to finish.
TEST_F(https_client, shutdown_abandons_a_workers_request_but_not_the_hosts) {
    constexpr int held_ms = 60000;
    constexpr int host_reply_delay_ms = 1500;
    constexpr int abandon_within_ms = 5000;
    // The client asks its cancel function every 50 ms even while the peer is
    // silent; this bound leaves room for a loaded or instrumented build.
    constexpr int prompt_abandon_ms = 500;
    constexpr int idle_before_stop_ms = 300;
    ASSERT_TRUE(peer.reply("/held", 200, "late", held_ms));
    ASSERT_TRUE(peer.reply("/host", 200, "host reply", host_reply_delay_ms));
    web_peer_environment env(peer);

    state_lock_setup();
    g_state.running.store(1);
    const uint32_t generation = g_state.worker_generation.load();
    std::atomic<bool> worker_done{false};
    std::chrono::steady_clock::time_point worker_ended;
    http_result worker_result, host_result;
    std::thread worker([&] {
        worker_thread_begin(generation);
        worker_result = request("GET", "/held");
        worker_ended = std::chrono::steady_clock::now();
        worker_done = true;
    });
    std::thread host_thread([&] { host_result = request("GET", "/host"); });
    ASSERT_TRUE(eventually([&] { return peer.requests().size() == 2; }, 10000));
    // The sent request sits idle awhile, as a poll on a silent server does:
    // right after sending, the client would notice a stop sooner anyway.
    sleep_real_ms(idle_before_stop_ms);

    // What shutdown does before it waits for the workers.
    auto stopped = std::chrono::steady_clock::now();
    g_state.running.store(0);
    http_abandon_worker_requests();
    bool ended = eventually([&] { return worker_done.load(); }, abandon_within_ms);
    worker.join();
    host_thread.join();
    g_state.worker_generation.fetch_add(1);

    EXPECT_TRUE(ended) << "the held request ran on after shutdown";
    if (ended) {
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(worker_ended - stopped).count();
        EXPECT_LT(took, prompt_abandon_ms) << "the held request noticed shutdown late";
    }
    EXPECT_FALSE(worker_result.ok);
    EXPECT_EQ(worker_result.status, 0u);
    EXPECT_EQ(worker_result.body, "");
    EXPECT_TRUE(host_result.ok);
    EXPECT_EQ(host_result.status, 200u);
    EXPECT_EQ(host_result.body, "host reply");
}

namespace {

// A release for both platforms, as the web service publishes it.
std::string stable_release(const std::string &version) {
    std::string body = R"({"version":")" + version + R"(","revoked":false)";
    for (const char *os : {"windows", "linux"}) {
        const std::string file = "Quorvane-Voice-v" + version + (std::string(os) == "windows" ? ".dll" : ".so");
        body += R"(,")" + std::string(os) + R"(_plugin_filename":")" + file + R"(",")" + os +
                R"(_plugin_url":"https://)" QV_WEB_HOST R"(/downloads/voice/)" + file + R"(")";
    }
    return body + "}";
}
}  // namespace

class https_client_host : public host_test {
  protected:
    web_peer peer;
};

// The development library loaded as Mumble loads it answers hasUpdate from
// the peer, and refuses a peer whose certificate it cannot trust.
TEST_F(https_client_host, has_update_asks_the_web_service) {
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.reply("/api/voice/releases/stable.json", 200, stable_release("0.3.0")));
    host->register_api();
    host->init();
    auto has_update = host->exports().mumble_hasUpdate;
    auto download_url = host->exports().mumble_getUpdateDownloadURL;
    ASSERT_NE(has_update, nullptr);
    ASSERT_NE(download_url, nullptr);
    {
        web_peer_environment env(peer);
        EXPECT_TRUE(has_update());
        // Mumble's updater asks for the address right after a yes, taking
        // the string result by value.
        const MumbleStringWrapper url = download_url();
        // The fixed address of this platform's library.
        const std::string expected = std::string(platform_name()) == "windows"
                                         ? "https://" QV_WEB_HOST "/downloads/voice/plugin/windows/quorvane_voice.dll"
                                         : "https://" QV_WEB_HOST "/downloads/voice/plugin/linux/libquorvane_voice.so";
        ASSERT_NE(url.data, nullptr);
        EXPECT_EQ(std::string(url.data, url.size), expected);
        EXPECT_EQ(url.data[url.size], '\0');
        EXPECT_FALSE(url.needsReleasing);
    }
    {
        web_peer_environment env(peer, /*untrusted=*/true);
        EXPECT_FALSE(has_update());
    }
    host->shutdown();
    auto seen = peer.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/api/voice/releases/stable.json");
}

// Mumble asks on a thread of its own and waits for the answer: a server that
// drips its reply holds it no longer than the request's deadline.
TEST_F(https_client_host, has_update_gives_up_on_a_server_that_drips) {
    ASSERT_TRUE(peer.ok()) << peer.error();
    web_reply_shape drip;
    drip.drip_ms = 500;
    ASSERT_TRUE(peer.reply("/api/voice/releases/stable.json", 200, stable_release("0.3.0"), drip));
    host->register_api();
    host->init();
    web_peer_environment env(peer);
    auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(host->exports().mumble_hasUpdate());
    // 30 s at the host's time scale, raised to the client's 2 s floor.
    EXPECT_LT(elapsed_ms(began), 2000 + deadline_margin_ms);
    host->shutdown();
    EXPECT_EQ(peer.requests().size(), 1u);
}
