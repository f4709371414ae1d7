// Version precedence against the plugin's own version, and the update
// decision over stable release replies.
#include "update/update_check.h"
#include "identity/https_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
constexpr char test_host[] = "web.example.test";

std::string expected_name(const std::string &version) { return "Quorvane-Voice-v" + version + ".dll"; }
std::string expected_url(const std::string &version) {
    return std::string("https://") + test_host + "/downloads/voice/" + expected_name(version);
}

// A stable release reply naming exactly what the plugin expects for version.
std::string release_body(const std::string &version, const std::string &extra = "") {
    return R"({"channel":"stable",)" + extra + R"("version":")" + version + R"(","windows_plugin_filename":")" +
           expected_name(version) + R"(","windows_plugin_url":")" + expected_url(version) + R"("})";
}

bool offers(const std::string &body, uint32_t status = 200) {
    return release_offers_update(status, body.c_str(), test_host);
}
}  // namespace

// Every row is parsed, compared with the own version and, dressed as a
// matching release reply, run through the whole decision.
TEST(update_version, parses_and_ranks_against_the_own_version) {
    struct version_case {
        std::string text;
        bool parses;
        bool newer;
    };
    const version_case cases[] = {
        {"0.2.7", true, true},
        {"0.2.7-beta", true, true},
        {"0.2.7-alpha.1", true, true},
        {"0.2.7-alpha", true, false},
        {"0.2.7-Alpha", true, false},
        {"0.2.7-1", true, false},
        {"0.2.7-alph", true, false},
        {"0.2.7-alphb", true, true},
        {"0.2.7-alpha-", true, true},
        {"0.2.6", true, false},
        {"0.2.10", true, true},
        {"0.3.0-alpha", true, true},
        {"0.10.0", true, true},
        {"1.0.0", true, true},
        {"0.1.99", true, false},
        {"0.0.0", true, false},
        {"4294967295.0.0", true, true},
        {"0.3.0-rc.01", true, true},
        {"0.3.0-a-b.c--d.0", true, true},
        {"0.3", false, false},
        {"0.3.0.0", false, false},
        {"00.3.0", false, false},
        {"0.03.0", false, false},
        {"0.3.00", false, false},
        {"0.3.0+1", false, false},
        {"0.3.0-rc+1", false, false},
        {"0.3.0-", false, false},
        {"0.3.0-rc..1", false, false},
        {"0.3.0-.rc", false, false},
        {"0.3.0-rc.", false, false},
        {"0.3.0-rc_1", false, false},
        {"0.3.0-rc 1", false, false},
        {"0.3.0 ", false, false},
        {" 0.3.0", false, false},
        {"v0.3.0", false, false},
        {"0..3.0", false, false},
        {"0.3.", false, false},
        {"-0.3.0", false, false},
        {"+0.3.0", false, false},
        {"", false, false},
        {"4294967296.0.0", false, false},
        {"0.4294967296.0", false, false},
        {"0.0.99999999999999999999", false, false},
    };
    parsed_version own{};
    ASSERT_TRUE(parse_version(own_version_text, &own));
    for (const version_case &c : cases) {
        SCOPED_TRACE(c.text);
        parsed_version v{};
        ASSERT_EQ(parse_version(c.text.c_str(), &v), c.parses);
        if (c.parses) {
            EXPECT_EQ(version_is_newer(&v, &own), c.newer);
        }
        EXPECT_EQ(offers(release_body(c.text)), c.newer);
    }
}

TEST(update_version, fills_the_record_and_clears_it_on_failure) {
    const char text[] = "12.0.4294967295-rc.1";
    parsed_version v{};
    ASSERT_TRUE(parse_version(text, &v));
    EXPECT_EQ(v.major, 12u);
    EXPECT_EQ(v.minor, 0u);
    EXPECT_EQ(v.patch, 4294967295u);
    EXPECT_EQ(v.prerelease, text + 16);
    EXPECT_EQ(v.prerelease_length, 4u);

    ASSERT_TRUE(parse_version("1.2.3", &v));
    EXPECT_EQ(v.prerelease, nullptr);
    EXPECT_EQ(v.prerelease_length, 0u);

    v = {7, 7, 7, text, 3};
    EXPECT_FALSE(parse_version("7.7.7-", &v));
    EXPECT_EQ(v.major, 0u);
    EXPECT_EQ(v.prerelease, nullptr);
    EXPECT_EQ(v.prerelease_length, 0u);
    EXPECT_FALSE(parse_version(nullptr, &v));
}

// A strictly ascending chain: every earlier entry ranks below every later
// one, each equals itself, and the order is the same seen from both sides.
TEST(update_version, precedence_is_a_strict_order) {
    const char *chain[] = {
        "0.9.9",        "1.0.0-0",     "1.0.0-9",       "1.0.0-10",      "1.0.0-A",      "1.0.0-Z",
        "1.0.0-a",      "1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.a", "1.0.0-alpha-", "1.0.0-alpha0",
        "1.0.0-alphaa", "1.0.0-beta",  "1.0.0-beta.2",  "1.0.0-beta.11", "1.0.0-rc.1",   "1.0.0",
        "1.0.1",        "1.1.0",       "2.0.0",         "10.0.0",
    };
    const size_t n = sizeof chain / sizeof chain[0];
    for (size_t i = 0; i < n; ++i) {
        parsed_version a{};
        ASSERT_TRUE(parse_version(chain[i], &a)) << chain[i];
        for (size_t j = 0; j < n; ++j) {
            parsed_version b{};
            ASSERT_TRUE(parse_version(chain[j], &b)) << chain[j];
            SCOPED_TRACE(std::string(chain[i]) + " vs " + chain[j]);
            const int order = version_compare(&a, &b);
            EXPECT_EQ(order < 0, i < j);
            EXPECT_EQ(order == 0, i == j);
            EXPECT_EQ(order > 0, i > j);
            EXPECT_EQ(version_is_newer(&a, &b), i > j);
        }
    }
}

TEST(update_decision, answers_from_the_stable_release_reply) {
    const std::string v = "0.3.0";
    std::string pretty = "{\n  \"version\" : \"0.3.0\",\r\n\t\"windows_plugin_filename\":\t\"" + expected_name(v) +
                         "\",\n  \"windows_plugin_url\": \"" + expected_url(v) + "\",\n  \"revoked\": false\n}\n";
    std::string revoked_last = release_body(v);
    revoked_last.insert(revoked_last.size() - 1, R"(,"revoked":true)");
    const std::string long_version = "1.0.0-" + std::string(release_version_size - 7, 'a');  // 63 characters
    struct decision_case {
        const char *name;
        uint32_t status;
        std::string body;
        bool offered;
    };
    const decision_case cases[] = {
        {"matching release", 200, release_body(v), true},
        {"pretty-printed", 200, pretty, true},
        {"fields in another order", 200,
         R"({"windows_plugin_url":")" + expected_url(v) + R"(","windows_plugin_filename":")" + expected_name(v) +
             R"(","version":"0.3.0"})",
         true},
        {"status 404", 404, release_body(v), false},
        {"status 500", 500, release_body(v), false},
        {"status 0", 0, release_body(v), false},
        {"empty body", 200, "", false},
        {"error body", 404, R"({"error":"not found"})", false},
        {"revoked", 200, release_body(v, R"("revoked":true,)"), false},
        {"revoked after white space", 200, release_body(v, "\"revoked\" :\n\t true,"), false},
        {"revoked after the fields", 200, revoked_last, false},
        {"revoked false", 200, release_body(v, R"("revoked":false,)"), true},
        {"revoked as the string true", 200, release_body(v, R"("revoked":"true",)"), true},
        {"revoked without a colon", 200, release_body(v) + R"( "revoked")", true},
        {"version missing", 200,
         R"({"windows_plugin_filename":")" + expected_name(v) + R"(","windows_plugin_url":")" + expected_url(v) +
             R"("})",
         false},
        {"version a number", 200, R"({"version":1,"windows_plugin_filename":"x","windows_plugin_url":"y"})", false},
        {"version of 63 characters", 200, release_body(long_version), true},
        {"version of 64 characters", 200, release_body(long_version + "a"), false},
        {"file name missing", 200, R"({"version":"0.3.0","windows_plugin_url":")" + expected_url(v) + R"("})", false},
        {"address missing", 200, R"({"version":"0.3.0","windows_plugin_filename":")" + expected_name(v) + R"("})",
         false},
        {"file name one character off", 200,
         R"({"version":"0.3.0","windows_plugin_filename":"Quorvane-Voice-v0.3.0.dlL","windows_plugin_url":")" +
             expected_url(v) + R"("})",
         false},
        {"file name in other letter case", 200,
         R"({"version":"0.3.0","windows_plugin_filename":"quorvane-voice-v0.3.0.dll","windows_plugin_url":")" +
             expected_url(v) + R"("})",
         false},
        {"file name of another version", 200,
         R"({"version":"0.3.0","windows_plugin_filename":"Quorvane-Voice-v0.3.1.dll","windows_plugin_url":")" +
             expected_url(v) + R"("})",
         false},
        {"address on another host", 200,
         R"({"version":"0.3.0","windows_plugin_filename":")" + expected_name(v) +
             R"(","windows_plugin_url":"https://elsewhere.test/downloads/voice/Quorvane-Voice-v0.3.0.dll"})",
         false},
        {"address on another path", 200,
         R"({"version":"0.3.0","windows_plugin_filename":")" + expected_name(v) +
             R"(","windows_plugin_url":"https://)" + test_host + R"(/downloads/Quorvane-Voice-v0.3.0.dll"})",
         false},
        {"address over plain http", 200,
         R"({"version":"0.3.0","windows_plugin_filename":")" + expected_name(v) + R"(","windows_plugin_url":"http://)" +
             test_host + R"(/downloads/voice/Quorvane-Voice-v0.3.0.dll"})",
         false},
        {"address in other letter case", 200,
         R"({"version":"0.3.0","windows_plugin_filename":")" + expected_name(v) +
             R"(","windows_plugin_url":"HTTPS://)" + test_host + R"(/downloads/voice/Quorvane-Voice-v0.3.0.dll"})",
         false},
    };
    for (const decision_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(offers(c.body, c.status), c.offered);
    }
    EXPECT_FALSE(release_offers_update(200, nullptr, test_host));
}

TEST(update_decision, finds_no_update_without_a_web_client) { EXPECT_FALSE(update_available()); }

TEST(update_download, hands_out_one_fixed_address) {
    const std::string address = "https://" QV_WEB_HOST "/downloads/voice/plugin/windows/quorvane_voice.dll";
    EXPECT_STREQ(update_download_address(), address.c_str());
    EXPECT_EQ(update_download_address_length(), address.size());
}
