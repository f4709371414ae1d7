// The identity worker: how it reads the service's replies, the texts it
// sends, its link flow against a scripted service on a scaled clock, and the
// browser opener behind it.
#include "identity/identity_worker.h"
#include "core/flavour.h"
#include "core/plugin_state.h"
#include "harness/sandbox.h"
#include "identity/credential_store.h"
#include "identity/https_client.h"
#include "platform/platform.h"
#include "plugin/lifecycle.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>

#include <fstream>
#endif

namespace {
const std::string identity = "0123456789abcdef0123456789abcdef01234567";
const std::string token = "vc1." + std::string(40, 'T') + "k-_";
const std::string web = "https://" QV_WEB_HOST;

std::string start_json(const std::string &state, const std::string &code, const std::string &secret,
                       const std::string &approval) {
    return R"({"status":")" + state + R"(","code":")" + code + R"(","secret":")" + secret + R"(","approval_secret":")" +
           approval + R"(","expires_in":300})";
}
std::string linked_json(const std::string &credential) {
    return R"({"status":"linked","credential":")" + credential + R"("})";
}
const std::string pending_json = R"({"status":"pending"})";
}  // namespace

// ---- reading the replies -------------------------------------------------------

TEST(identity_replies, start_reply_is_accepted_only_in_its_one_shape) {
    const std::string long_code(link_code_size, 'c'), long_secret(link_secret_size, 's');
    struct row {
        const char *what;
        uint32_t status;
        std::string body;
        start_outcome outcome;
        std::string state;
    } rows[] = {
        {"the accepted form", 201, start_json("pending", "AB12-CD", "s3cr3t", "appr0v"), start_outcome::accepted,
         "pending"},
        {"longest values that fit", 201,
         start_json("pending", long_code.substr(1), long_secret.substr(1), long_secret.substr(1)),
         start_outcome::accepted, "pending"},
        {"already linked", 200, R"({"status":"linked"})", start_outcome::linked_without_credential, "linked"},
        {"linked with 201", 201, start_json("linked", "AB12-CD", "s", "a"), start_outcome::rejected, "linked"},
        {"pending with 200", 200, start_json("pending", "AB12-CD", "s", "a"), start_outcome::rejected, "pending"},
        {"no approval secret", 201, R"({"status":"pending","code":"AB12","secret":"s"})", start_outcome::rejected,
         "pending"},
        {"a secret that is a number", 201, R"({"status":"pending","code":"AB","secret":7,"approval_secret":"a"})",
         start_outcome::rejected, "pending"},
        {"state in another case", 201, start_json("Pending", "AB12-CD", "s", "a"), start_outcome::rejected, "Pending"},
        {"no JSON at all", 502, "<html>Bad gateway</html>", start_outcome::rejected, ""},
        {"code too long", 201, start_json("pending", long_code, "s", "a"), start_outcome::rejected, "pending"},
        {"secret too long", 201, start_json("pending", "AB", long_secret, "a"), start_outcome::rejected, "pending"},
        {"approval secret too long", 201, start_json("pending", "AB", "s", long_secret), start_outcome::rejected,
         "pending"},
        // An empty value is no link: an empty secret header would not even be sent.
        {"empty secret", 201, start_json("pending", "AB12-CD", "", "a"), start_outcome::rejected, "pending"},
        {"empty code", 201, start_json("pending", "", "s", "a"), start_outcome::rejected, "pending"},
        {"empty approval secret", 201, start_json("pending", "AB12-CD", "s", ""), start_outcome::rejected, "pending"},
        // Values that would change the shape of the request or the address.
        {"CR LF in the secret", 201, start_json("pending", "AB", "s\r\nX-Injected: 1", "a"), start_outcome::rejected,
         "pending"},
        {"LF in the code", 201, start_json("pending", "AB\nC", "s", "a"), start_outcome::rejected, "pending"},
        {"blank in the code", 201, start_json("pending", "AB CD", "s", "a"), start_outcome::rejected, "pending"},
        {"tab in the approval secret", 201, start_json("pending", "AB", "s", "a\tb"), start_outcome::rejected,
         "pending"},
        {"DEL in the approval secret", 201, start_json("pending", "AB", "s", "a\x7f"), start_outcome::rejected,
         "pending"},
        {"byte above ASCII in the secret", 201, start_json("pending", "AB", "s\xc3\xa9", "a"), start_outcome::rejected,
         "pending"},
    };
    for (const row &r : rows) {
        link_start out;
        std::memset(&out, 'x', sizeof out);
        EXPECT_EQ(classify_start_reply(r.status, r.body.c_str(), &out), r.outcome) << r.what;
        EXPECT_EQ(std::string(out.state), r.state) << r.what;
        if (r.outcome != start_outcome::accepted) {
            EXPECT_STREQ(out.code, "") << r.what;
            EXPECT_STREQ(out.secret, "") << r.what;
            EXPECT_STREQ(out.approval_secret, "") << r.what;
        }
    }

    link_start out{};
    ASSERT_EQ(classify_start_reply(201, start_json("pending", "AB12-CD", "s3cr3t", "appr0v").c_str(), &out),
              start_outcome::accepted);
    EXPECT_STREQ(out.code, "AB12-CD");
    EXPECT_STREQ(out.secret, "s3cr3t");
    EXPECT_STREQ(out.approval_secret, "appr0v");
}

TEST(identity_replies, visible_ascii_is_exactly_0x21_to_0x7e) {
    std::string all;
    for (int c = 0x21; c <= 0x7E; ++c)
        all += static_cast<char>(c);
    EXPECT_TRUE(is_visible_ascii(all.c_str()));
    EXPECT_TRUE(is_visible_ascii(""));
    for (int c = 1; c < 256; ++c) {
        if (c >= 0x21 && c <= 0x7E) continue;
        std::string text = "ab" + std::string(1, static_cast<char>(c)) + "cd";
        EXPECT_FALSE(is_visible_ascii(text.c_str())) << "byte " << c;
    }
}

TEST(identity_replies, poll_reply) {
    struct row {
        const char *what;
        uint32_t status;
        std::string body;
        poll_outcome outcome;
    } rows[] = {
        {"linked with a token", 200, linked_json(token), poll_outcome::linked},
        {"still pending", 200, pending_json, poll_outcome::retry},
        {"gone", 410, R"({"error":"expired"})", poll_outcome::gone},
        {"gone, whatever the body says", 410, linked_json(token), poll_outcome::gone},
        {"server error", 500, linked_json(token), poll_outcome::retry},
        {"no body", 200, "", poll_outcome::retry},
        {"linked, 46 characters", 200, linked_json(token.substr(1)), poll_outcome::invalid_credential},
        {"linked, 48 characters", 200, linked_json(token + "x"), poll_outcome::invalid_credential},
        {"linked, no credential", 200, R"({"status":"linked"})", poll_outcome::invalid_credential},
        {"linked, credential not a string", 200, R"({"status":"linked","credential":null})",
         poll_outcome::invalid_credential},
        {"linked, credential longer than its buffer", 200, linked_json(token + std::string(200, 'x')),
         poll_outcome::invalid_credential},
    };
    for (const row &r : rows) {
        char credential[link_credential_size];
        std::memset(credential, 'x', sizeof credential);
        EXPECT_EQ(classify_poll_reply(r.status, r.body.c_str(), credential), r.outcome) << r.what;
        EXPECT_EQ(std::string(credential), r.outcome == poll_outcome::linked ? token : "") << r.what;
    }
}

TEST(identity_texts, requests_and_address_are_built_verbatim) {
    char text[approval_address_size];
    ASSERT_TRUE(format_start_body(text, start_body_size, identity.c_str()));
    EXPECT_EQ(std::string(text), R"({"certificate_hash":")" + identity + R"(","credential_required":true})");
    ASSERT_TRUE(format_approval_address(text, approval_address_size, "AB12-CD", "x_y.z~"));
    EXPECT_EQ(std::string(text), web + "/account/voice?code=AB12-CD&approval=x_y.z~");
    ASSERT_TRUE(format_status_path(text, status_path_size, "AB12-CD"));
    EXPECT_STREQ(text, "/api/voice/link/status?code=AB12-CD");
    ASSERT_TRUE(format_secret_header(text, secret_header_size, "s3cr3t"));
    EXPECT_STREQ(text, "X-Voice-Link-Secret: s3cr3t\r\n");

    // The longest identity, code and secrets still fit; a text cut short is
    // reported rather than sent.
    const std::string longest_identity(hash_size - 1, 'f'), longest_secret(link_secret_size - 1, 's');
    EXPECT_TRUE(format_start_body(text, start_body_size, longest_identity.c_str()));
    EXPECT_TRUE(format_approval_address(text, approval_address_size, std::string(link_code_size - 1, 'c').c_str(),
                                        longest_secret.c_str()));
    EXPECT_TRUE(format_secret_header(text, secret_header_size, longest_secret.c_str()));
    EXPECT_FALSE(format_status_path(text, 20, "AB12-CD"));

    copy_for_log(text, link_state_size, "pen\r\nding\x01\xff ok");
    EXPECT_STREQ(text, "pen??ding?? ok");
}

// ---- the link flow -------------------------------------------------------------

namespace {
struct recorded_request {
    std::string method, path, headers, body;
    bool has_headers = false, has_body = false;
    uint32_t at = 0;  // plugin ticks
};

struct scripted_reply {
    bool answered = true;
    uint32_t status = 0;
    std::string body;
};

// The web service and the browser as the worker sees them. Each list of
// replies is used in order; its last reply repeats.
struct scripted_service {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<scripted_reply> starts, polls;
    size_t start_index = 0, poll_index = 0;
    std::vector<recorded_request> requests;
    std::vector<std::pair<std::string, uint32_t>> opened;
    bool opener_result = true;
    // Holds the next request of this path prefix until released.
    std::string hold_prefix;
    bool holding = false;

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        starts.clear();
        polls.clear();
        start_index = poll_index = 0;
        requests.clear();
        opened.clear();
        opener_result = true;
        hold_prefix.clear();
        holding = false;
    }
    std::vector<recorded_request> starts_made() { return made("/api/voice/link/start"); }
    std::vector<recorded_request> polls_made() { return made("/api/voice/link/status"); }
    std::vector<recorded_request> made(const std::string &prefix) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<recorded_request> out;
        for (const recorded_request &r : requests)
            if (r.path.rfind(prefix, 0) == 0) out.push_back(r);
        return out;
    }
    size_t request_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.size();
    }
    std::vector<std::pair<std::string, uint32_t>> pages() {
        std::lock_guard<std::mutex> lock(mutex);
        return opened;
    }
    bool is_holding() {
        std::lock_guard<std::mutex> lock(mutex);
        return holding;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        hold_prefix.clear();
        changed.notify_all();
    }
};

scripted_service service;

scripted_reply next_of(std::vector<scripted_reply> &list, size_t &index) {
    if (list.empty()) return {false, 0, ""};
    scripted_reply r = list[index < list.size() ? index : list.size() - 1];
    ++index;
    return r;
}

bool fake_request(const char *method, const char *path, const char *extra_headers, const char *body, uint32_t *status,
                  char *response) {
    std::unique_lock<std::mutex> lock(service.mutex);
    recorded_request r;
    r.method = method;
    r.path = path;
    r.has_headers = extra_headers != nullptr;
    r.headers = extra_headers ? extra_headers : "";
    r.has_body = body != nullptr;
    r.body = body ? body : "";
    r.at = platform_ticks();
    service.requests.push_back(r);
    if (!service.hold_prefix.empty() && r.path.rfind(service.hold_prefix, 0) == 0) {
        service.holding = true;
        service.changed.wait(lock, [] { return service.hold_prefix.empty(); });
        service.holding = false;
    }
    bool start = r.path == "/api/voice/link/start";
    scripted_reply reply =
        start ? next_of(service.starts, service.start_index) : next_of(service.polls, service.poll_index);
    if (!reply.answered) return false;
    *status = reply.status;
    std::snprintf(response, http_response_size, "%s", reply.body.c_str());
    return true;
}

bool fake_open(const char *address) {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.opened.emplace_back(address, platform_ticks());
    return service.opener_result;
}

std::mutex notice_mutex;
std::vector<std::string> notices;

mumble_error_t QV_CALL record_notice(mumble_plugin_id_t, const char *text) {
    std::lock_guard<std::mutex> lock(notice_mutex);
    notices.emplace_back(text);
    return 0;
}

void run_scripted_worker(void *arg) {
    identity_worker_run(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)),
                        identity_link_io{&fake_request, &fake_open});
}

const std::string approve_notice = "[Quorvane Voice] approve proximity voice in your browser (code ";
const std::string linked_notice = "[Quorvane Voice] proximity voice linked with a private player credential";
const std::string save_failed_notice = "[Quorvane Voice] voice linked but its local credential could not be saved";

scripted_reply accepted(const std::string &code, const std::string &secret, const std::string &approval) {
    return {true, 201, start_json("pending", code, secret, approval)};
}

class identity_flow : public ::testing::Test {
  protected:
    void SetUp() override {
        state_lock_setup();
        service.reset();
        {
            std::lock_guard<std::mutex> lock(notice_mutex);
            notices.clear();
        }
        g_state.api_table = {};
        api_table_set<api_slot_log>(g_state.api_table, &record_notice);
        g_state.api_registered = 1;
        g_state.debug_log = 1;
        set_path(g_state.log_path, box.file("quorvane_voice.log").string());
        set_path(g_state.token_path, box.file("quorvane_voice_token.txt").string());
        set_identity(identity);
        g_state.credential[0] = '\0';
        platform_set_time_scale(100);
    }
    void TearDown() override {
        service.release();
        stop();
        platform_set_time_scale(1);
        g_state.api_registered = 0;
        g_state.debug_log = 0;
        g_state.log_path[0] = '\0';
        g_state.token_path[0] = '\0';
        g_state.identity_hash[0] = '\0';
        g_state.credential[0] = '\0';
    }

    static void set_path(char (&field)[path_size], const std::string &value) {
        std::snprintf(field, sizeof field, "%s", value.c_str());
    }
    static void set_identity(const std::string &value) {
        state_lock_enter();
        std::snprintf(g_state.identity_hash, sizeof g_state.identity_hash, "%s", value.c_str());
        state_lock_leave();
    }
    static void set_credential(const std::string &value) {
        state_lock_enter();
        std::snprintf(g_state.credential, sizeof g_state.credential, "%s", value.c_str());
        state_lock_leave();
    }
    static std::string credential() {
        state_lock_enter();
        std::string c = g_state.credential;
        state_lock_leave();
        return c;
    }

    void start() {
        g_state.running.exchange(1);
        generation = g_state.worker_generation.load();
        ASSERT_TRUE(platform_thread_start(&thread, run_scripted_worker,
                                          reinterpret_cast<void *>(static_cast<uintptr_t>(generation))));
    }
    // True when the worker ended within the shutdown bound.
    bool stop() {
        if (!thread) return true;
        g_state.running.exchange(0);
        bool ended = platform_thread_wait(thread, worker_stop_wait_ms);
        platform_thread_close(thread);
        thread = nullptr;
        return ended;
    }
    // What shutdown does to a worker that overran its wait.
    void end_session() {
        g_state.running.exchange(0);
        state_lock_enter();
        g_state.worker_generation.fetch_add(1);
        state_lock_leave();
    }
    // Lets `ms` of plugin time pass.
    static void let_pass(uint32_t ms) {
        uint32_t from = platform_ticks();
        ASSERT_TRUE(eventually([&] { return platform_ticks() - from >= ms; }, 20000));
    }

    static std::vector<std::string> notices_seen() {
        std::lock_guard<std::mutex> lock(notice_mutex);
        return notices;
    }
    static size_t notices_equal(const std::string &text) {
        size_t n = 0;
        for (const std::string &s : notices_seen())
            n += s == text;
        return n;
    }
    std::string log_text() const {
        return box.exists("quorvane_voice.log") ? box.read("quorvane_voice.log") : std::string();
    }
    size_t count_in_log(const std::string &needle) const { return occurrences(log_text(), needle); }

    plugin_sandbox box;
    platform_thread thread = nullptr;
    uint32_t generation = 0;
};
}  // namespace

TEST_F(identity_flow, links_in_the_browser_saves_the_credential_and_then_holds) {
    service.starts = {accepted("AB12-CD", "poll-secret-1", "approve-secret-1")};
    service.polls = {{true, 200, pending_json}, {true, 200, linked_json(token)}};
    start();
    ASSERT_TRUE(eventually([] { return notices_equal(linked_notice) == 1; }));

    std::vector<recorded_request> starts = service.starts_made();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].method, "POST");
    EXPECT_EQ(starts[0].headers, "Content-Type: application/json\r\n");
    EXPECT_EQ(starts[0].body, R"({"certificate_hash":")" + identity + R"(","credential_required":true})");

    std::vector<std::pair<std::string, uint32_t>> pages = service.pages();
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].first, web + "/account/voice?code=AB12-CD&approval=approve-secret-1");

    std::vector<recorded_request> polls = service.polls_made();
    ASSERT_EQ(polls.size(), 2u);
    for (const recorded_request &p : polls) {
        EXPECT_EQ(p.method, "GET");
        EXPECT_EQ(p.path, "/api/voice/link/status?code=AB12-CD");
        EXPECT_EQ(p.headers, "X-Voice-Link-Secret: poll-secret-1\r\n");
        EXPECT_FALSE(p.has_body);
    }
    EXPECT_GE(polls[1].at - polls[0].at, poll_interval_ms);

    EXPECT_EQ(credential(), token);
    EXPECT_EQ(box.read("quorvane_voice_token.txt"), token + "\r\n");
    EXPECT_EQ(std::filesystem::file_size(box.file("quorvane_voice_token.txt")), 49u);
    EXPECT_EQ(notices_seen(), (std::vector<std::string>{approve_notice + "AB12-CD)", linked_notice}));

    // Held: nothing more is asked while the credential stays.
    let_pass(3 * credential_held_idle_ms);
    EXPECT_EQ(service.request_count(), 3u);
    ASSERT_TRUE(stop());

    std::string log = log_text();
    for (const std::string &secret : {std::string("poll-secret-1"), std::string("approve-secret-1"), token})
        EXPECT_EQ(log.find(secret), std::string::npos) << "a secret reached the log: " << secret;
}

TEST_F(identity_flow, asks_only_while_an_identity_is_known_and_no_credential_is_held) {
    service.starts = {{true, 503, "busy"}};
    set_identity("");
    start();
    let_pass(3 * no_identity_idle_ms);
    EXPECT_TRUE(service.starts_made().empty()) << "no identity, no request";

    set_credential(token);
    set_identity(identity);
    let_pass(3 * credential_held_idle_ms);
    EXPECT_TRUE(service.starts_made().empty()) << "a credential is held";

    // A revocation empties the credential: a new link starts by itself.
    set_credential("");
    EXPECT_TRUE(eventually([] { return !service.starts_made().empty(); }));
}

TEST_F(identity_flow, a_start_that_fails_logs_one_line_and_backs_off) {
    struct row {
        const char *what;
        scripted_reply reply;
        std::string line;
    } rows[] = {
        {"no response", {false, 0, ""}, "voice_identity_start_transport_failed"},
        {"already linked", {true, 200, R"({"status":"linked"})"}, "voice_identity_linked_without_credential"},
        {"no approval secret",
         {true, 201, R"({"status":"pending","code":"AB12","secret":"s"})"},
         "voice_identity_start_rejected status=201 state=pending"},
        {"no JSON", {true, 502, "<html>Bad gateway</html>"}, "voice_identity_start_rejected status=502 state=missing"},
        {"header injection in the secret",
         {true, 201, start_json("pending", "AB12", "s\r\nX-Injected: 1", "a")},
         "voice_identity_start_rejected status=201 state=pending"},
        {"blank in the approval secret",
         {true, 201, start_json("pending", "AB12", "s", "a b")},
         "voice_identity_start_rejected status=201 state=pending"},
        {"an empty secret",
         {true, 201, start_json("pending", "AB12", "", "a")},
         "voice_identity_start_rejected status=201 state=pending"},
        {"a state that would forge a log line",
         {true, 200, "{\"status\":\"x\r\n[2026-01-01 00:00:00] forged\"}"},
         "voice_identity_start_rejected status=200 state=x??[2026-01-01 00:00:00] forged"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        service.reset();
        std::filesystem::remove(box.file("quorvane_voice.log"));
        service.starts = {r.reply};
        start();
        ASSERT_TRUE(eventually([] { return service.starts_made().size() >= 2; }));
        ASSERT_TRUE(stop());

        std::vector<recorded_request> starts = service.starts_made();
        EXPECT_GE(starts[1].at - starts[0].at, start_backoff_ms);
        EXPECT_GE(count_in_log("] " + r.line + "\r\n"), 1u) << log_text();
        EXPECT_EQ(count_in_log("] voice_identity_"), count_in_log("] " + r.line + "\r\n")) << log_text();
        EXPECT_EQ(count_in_log("X-Injected"), 0u);
        EXPECT_EQ(count_in_log("\n[2026-01-01 00:00:00] forged"), 0u);
        EXPECT_TRUE(service.pages().empty());
        EXPECT_TRUE(service.polls_made().empty());
        EXPECT_TRUE(notices_seen().empty());
    }
}

TEST_F(identity_flow, gone_starts_a_new_link_at_once_when_the_last_page_opened_a_minute_ago) {
    // A slower clock, so that "at once" and "after the back-off" stay apart
    // whatever the machine's load.
    platform_set_time_scale(10);
    service.starts = {accepted("CODE-1", "secret-1", "approval-1"), accepted("CODE-2", "secret-2", "approval-2")};
    // Pending for a minute, then gone.
    const size_t pending_polls = relink_spacing_ms / poll_interval_ms;
    service.polls.assign(pending_polls, {true, 200, pending_json});
    service.polls.push_back({true, 410, R"({"error":"gone"})"});
    service.polls.push_back({true, 200, pending_json});
    start();
    ASSERT_TRUE(eventually([&] { return service.polls_made().size() >= pending_polls + 2; }, 30000));
    ASSERT_TRUE(stop());

    std::vector<recorded_request> starts = service.starts_made(), polls = service.polls_made();
    const recorded_request &gone = polls[pending_polls];
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(gone.at - starts[0].at, relink_spacing_ms);
    EXPECT_LT(starts[1].at - gone.at, start_backoff_ms) << "no back-off after 410";
    EXPECT_EQ(gone.path, "/api/voice/link/status?code=CODE-1");
    EXPECT_EQ(polls[pending_polls + 1].path, "/api/voice/link/status?code=CODE-2");
    EXPECT_EQ(polls[pending_polls + 1].headers, "X-Voice-Link-Secret: secret-2\r\n");
    std::vector<std::pair<std::string, uint32_t>> pages = service.pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[1].first, web + "/account/voice?code=CODE-2&approval=approval-2");
    EXPECT_EQ(notices_seen(), (std::vector<std::string>{approve_notice + "CODE-1)", approve_notice + "CODE-2)"}));
}

// A service that drops every link at its first poll gets one new link, one
// page and one notice a minute, each as soon as the minute is up.
TEST_F(identity_flow, a_service_that_drops_every_link_opens_the_browser_once_a_minute) {
    platform_set_time_scale(20);
    service.starts = {accepted("CODE", "secret", "approval")};
    service.polls = {{true, 410, R"({"error":"gone"})"}};
    start();
    ASSERT_TRUE(eventually([] { return service.pages().size() >= 3; }, 30000));
    ASSERT_TRUE(stop());

    std::vector<std::pair<std::string, uint32_t>> pages = service.pages();
    std::vector<recorded_request> starts = service.starts_made(), polls = service.polls_made();
    for (size_t i = 1; i < pages.size(); ++i) {
        uint32_t gap = pages[i].second - pages[i - 1].second;
        EXPECT_GE(gap, relink_spacing_ms) << "page " << i;
        // Waits out the minute, not a back-off or a whole approval time on top.
        EXPECT_LT(gap, relink_spacing_ms + start_backoff_ms) << "page " << i;
    }
    EXPECT_EQ(starts.size(), pages.size());
    EXPECT_LE(polls.size(), pages.size()) << "one poll per link";
    EXPECT_EQ(notices_equal(approve_notice + "CODE)"), pages.size());
}

TEST_F(identity_flow, an_approval_page_stays_open_for_300_seconds_then_a_new_one_follows) {
    service.starts = {accepted("CODE-1", "secret-1", "approval-1"), accepted("CODE-2", "secret-2", "approval-2")};
    service.polls = {{true, 200, pending_json}};
    start();
    ASSERT_TRUE(eventually([] { return service.pages().size() >= 2; }, 60000));
    ASSERT_TRUE(stop());

    std::vector<std::pair<std::string, uint32_t>> pages = service.pages();
    std::vector<recorded_request> starts = service.starts_made(), first_link;
    for (const recorded_request &p : service.polls_made())
        if (p.path.find("CODE-1") != std::string::npos) first_link.push_back(p);
    ASSERT_FALSE(first_link.empty());
    EXPECT_GE(pages[1].second - pages[0].second, approval_time_limit_ms);
    EXPECT_LT(first_link.back().at - pages[0].second, approval_time_limit_ms) << "no poll after the limit";
    EXPECT_LE(first_link.size(), approval_time_limit_ms / poll_interval_ms);
    EXPECT_LT(starts[1].at - first_link.back().at, start_backoff_ms) << "the new link follows at once";
    EXPECT_EQ(pages[1].first, web + "/account/voice?code=CODE-2&approval=approval-2");
}

TEST_F(identity_flow, keeps_polling_past_an_invalid_credential_and_a_failed_save) {
    // The token file's folder does not exist yet, so the first saves fail.
    set_path(g_state.token_path, box.file("later").string() + "/quorvane_voice_token.txt");
    service.starts = {accepted("AB12", "s", "a")};
    service.polls = {{true, 200, linked_json(token.substr(1))}, {true, 200, linked_json(token)}};
    start();
    ASSERT_TRUE(eventually([] { return notices_equal(save_failed_notice) >= 2; }));
    EXPECT_EQ(credential(), "") << "nothing is published without the file";
    EXPECT_EQ(count_in_log("] voice_identity_linked_without_valid_credential\r\n"), 1u);
    std::vector<recorded_request> polls = service.polls_made();
    EXPECT_GE(polls[1].at - polls[0].at, poll_interval_ms);

    std::filesystem::create_directories(box.file("later"));
    ASSERT_TRUE(eventually([] { return notices_equal(linked_notice) == 1; }));
    EXPECT_EQ(credential(), token);
    EXPECT_EQ(box.read("later/quorvane_voice_token.txt"), token + "\r\n");
    ASSERT_TRUE(stop());
    EXPECT_EQ(service.starts_made().size(), 1u) << "one link throughout";
}

TEST_F(identity_flow, a_browser_that_cannot_be_opened_gives_the_fallback_and_polling_goes_on) {
    service.opener_result = false;
    service.starts = {accepted("AB12", "s", "a")};
    service.polls = {{true, 200, pending_json}};
    start();
    ASSERT_TRUE(eventually([] { return service.polls_made().size() >= 2; }));
    ASSERT_TRUE(stop());
    EXPECT_EQ(notices_seen(),
              (std::vector<std::string>{approve_notice + "AB12)",
                                        "[Quorvane Voice] open " + web + "/account to approve proximity voice"}));
}

TEST_F(identity_flow, stopping_during_a_wait_ends_the_worker_within_its_bound) {
    // Real time: the back-off is 15 s, the wait after a dropped link up to a
    // minute, the bound 6 s.
    platform_set_time_scale(1);
    struct row {
        const char *what;
        std::vector<scripted_reply> starts, polls;
        size_t requests;
    } rows[] = {
        {"back-off", {{true, 503, "busy"}}, {}, 1},
        {"after a dropped link", {accepted("AB12", "s", "a")}, {{true, 410, "{}"}}, 2},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        service.reset();
        service.starts = r.starts;
        service.polls = r.polls;
        start();
        ASSERT_TRUE(eventually([&] { return service.request_count() >= r.requests; }));
        let_pass(2 * worker_slice_ms);
        EXPECT_TRUE(stop());
        EXPECT_EQ(service.request_count(), r.requests);
    }
}

TEST_F(identity_flow, a_reply_that_outlives_its_session_is_dropped) {
    struct row {
        const char *what;
        std::string held;
    } rows[] = {
        {"an accepted start", "/api/voice/link/start"},
        {"a linked poll", "/api/voice/link/status"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        service.reset();
        {
            std::lock_guard<std::mutex> lock(notice_mutex);
            notices.clear();
        }
        service.hold_prefix = r.held;
        service.starts = {accepted("AB12", "s", "a")};
        service.polls = {{true, 200, linked_json(token)}};
        start();
        ASSERT_TRUE(eventually([] { return service.is_holding(); }));
        size_t notices_before = notices_seen().size();
        end_session();  // the shutdown wait has run out meanwhile
        service.release();
        EXPECT_TRUE(stop());

        EXPECT_EQ(credential(), "");
        EXPECT_FALSE(box.exists("quorvane_voice_token.txt"));
        EXPECT_EQ(notices_seen().size(), notices_before) << "no notice from an ended session";
        EXPECT_EQ(service.pages().size(), r.held == "/api/voice/link/start" ? 0u : 1u);
        EXPECT_EQ(service.request_count(), r.held == "/api/voice/link/start" ? 1u : 2u) << "nothing after";
    }
}

// ---- the browser opener --------------------------------------------------------

TEST(browser_opener, the_development_flavour_records_addresses_when_asked) {
    plugin_sandbox box;
    {
        scoped_env log("QUORVANE_VOICE_TEST_OPENER_LOG", box.file("opened.txt").string());
        EXPECT_TRUE(flavour_open_url("https://example.invalid/a?code=1&approval=x"));
        EXPECT_TRUE(flavour_open_url("https://example.invalid/b"));
    }
    EXPECT_EQ(box.read("opened.txt"), "https://example.invalid/a?code=1&approval=x\nhttps://example.invalid/b\n");
    scoped_env log("QUORVANE_VOICE_TEST_OPENER_LOG", box.file("missing").string() + "/opened.txt");
    EXPECT_FALSE(flavour_open_url("https://example.invalid/c")) << "a record that cannot be kept is a failure";
}

#if !defined(_WIN32)
namespace {
// Children of this process that have ended but were never reaped.
size_t zombie_children() {
    size_t n = 0;
    std::string self = std::to_string(getpid());
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!stat || !std::getline(stat, text)) continue;
        size_t close = text.rfind(')');
        if (close == std::string::npos || close + 4 >= text.size()) continue;
        char state = text[close + 2];
        std::string rest = text.substr(close + 4);
        std::string parent = rest.substr(0, rest.find(' '));
        n += parent == self && state == 'Z';
    }
    return n;
}

// PATH pointed at a folder holding a stand-in xdg-open.
class fake_desktop {
  public:
    explicit fake_desktop(const std::string &script) {
        const char *path = std::getenv("PATH");
        saved_ = path ? path : "";
        box_.write("xdg-open", "#!/bin/sh\n" + script);
        std::filesystem::permissions(box_.file("xdg-open"), std::filesystem::perms::owner_all);
        set_env("PATH", box_.dir().string() + ":/usr/bin:/bin");
        set_env("QV_OPENED", box_.file("opened.txt").string());
    }
    ~fake_desktop() {
        set_env("PATH", saved_);
        unset_env("QV_OPENED");
    }
    fake_desktop(const fake_desktop &) = delete;
    fake_desktop &operator=(const fake_desktop &) = delete;
    plugin_sandbox box_;

  private:
    std::string saved_;
};
}  // namespace

TEST(browser_opener, posix_hands_the_address_over_as_one_argument_and_leaves_no_zombie) {
    fake_desktop desktop("printf '%s\\n' \"$#\" \"$1\" > \"$QV_OPENED\"\n");
    // Nothing in it may be read by a shell.
    const std::string address = "https://example.invalid/account/voice?code=A;B&approval=$(touch${IFS}pwned)'\"`id`";
    EXPECT_TRUE(platform_open_url(address.c_str()));
    // A slow opener is still writing when the call returns.
    const std::string expected = "1\n" + address + "\n";
    EXPECT_TRUE(eventually([&] { return desktop.box_.read("opened.txt").size() >= expected.size(); }));
    EXPECT_EQ(desktop.box_.read("opened.txt"), expected);
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_TRUE(eventually([] { return zombie_children() == 0; }));
}

TEST(browser_opener, posix_reports_an_opener_that_fails_or_is_missing) {
    {
        fake_desktop desktop("exit 3\n");  // what xdg-open says without a desktop
        EXPECT_FALSE(platform_open_url("https://example.invalid/"));
    }
    {
        fake_desktop desktop("exit 0\n");
        std::filesystem::remove(desktop.box_.file("xdg-open"));
        set_env("PATH", desktop.box_.dir().string());
        EXPECT_FALSE(platform_open_url("https://example.invalid/"));
    }
    EXPECT_TRUE(eventually([] { return zombie_children() == 0; }));
}

TEST(browser_opener, posix_returns_while_a_slow_opener_runs_and_reaps_it_later) {
    fake_desktop desktop("sleep 3; printf done > \"$QV_OPENED\"\n");
    EXPECT_TRUE(platform_open_url("https://example.invalid/"));
    EXPECT_FALSE(desktop.box_.exists("opened.txt")) << "returned before the opener ended";
    ASSERT_TRUE(eventually([&] { return desktop.box_.exists("opened.txt"); }));
    EXPECT_TRUE(eventually([] { return zombie_children() == 0; }));
}
#endif
