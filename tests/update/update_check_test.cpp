// Version precedence, and the update decision over stable release replies
// against the plugin's own version and platform.
#include "update/update_check.h"
#include "identity/https_client.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {
constexpr char test_host[] = "web.example.test";

// What each platform's library reads from a release and hands to Mumble.
struct platform_release {
    std::string os;  // the word that begins its two release fields
    std::string extension;
    std::string download_address;
};
const platform_release windows_release = {"windows", "dll",
                                          "https://" QV_WEB_HOST "/downloads/voice/plugin/windows/quorvane_voice.dll"};
const platform_release linux_release = {"linux", "so",
                                        "https://" QV_WEB_HOST "/downloads/voice/plugin/linux/libquorvane_voice.so"};

bool on_windows() { return std::string(platform_name()) == "windows"; }
const platform_release &own_platform() { return on_windows() ? windows_release : linux_release; }
const platform_release &other_platform() { return on_windows() ? linux_release : windows_release; }

std::string expected_name(const std::string &version, const platform_release &p = own_platform()) {
    return "Quorvane-Voice-v" + version + "." + p.extension;
}
std::string expected_url(const std::string &version, const platform_release &p = own_platform()) {
    return std::string("https://") + test_host + "/downloads/voice/" + expected_name(version, p);
}
// One platform's two fields, as the release names them for version.
std::string release_fields(const std::string &version, const platform_release &p) {
    return R"(")" + p.os + R"(_plugin_filename":")" + expected_name(version, p) + R"(",")" + p.os +
           R"(_plugin_url":")" + expected_url(version, p) + R"(")";
}

// A stable release reply naming exactly what the plugin expects for version.
std::string release_body(const std::string &version, const std::string &extra = "") {
    return R"({"channel":"stable",)" + extra + R"("version":")" + version + R"(",)" +
           release_fields(version, own_platform()) + "}";
}

bool offers(const std::string &body, uint32_t status = 200) {
    return release_offers_update(status, body.c_str(), test_host);
}

// The ordering rows below are written against this version; precedence does
// not depend on what the build's own version is.
constexpr char reference_version[] = "0.2.7-alpha";
}  // namespace

// Every row is parsed and compared with the reference version; a row that
// does not parse, dressed as a matching release reply, offers nothing.
TEST(update_version, parses_and_ranks_against_a_prerelease) {
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
    parsed_version reference{};
    ASSERT_TRUE(parse_version(reference_version, &reference));
    for (const version_case &c : cases) {
        SCOPED_TRACE(c.text);
        parsed_version v{};
        ASSERT_EQ(parse_version(c.text.c_str(), &v), c.parses);
        if (c.parses) {
            EXPECT_EQ(version_is_newer(&v, &reference), c.newer);
        } else {
            EXPECT_FALSE(offers(release_body(c.text)));
        }
    }
}

// Releases around the build's own version, dressed as matching replies.
TEST(update_decision, offers_only_what_is_newer_than_the_own_version) {
    const std::string numbers = std::to_string(QV_VERSION_MAJOR) + "." + std::to_string(QV_VERSION_MINOR) + "." +
                                std::to_string(QV_VERSION_PATCH);
    const bool own_is_prerelease = std::strlen(QV_VERSION_PRERELEASE) > 0;
    struct release_case {
        std::string version;
        bool offered;
    };
    const release_case cases[] = {
        {own_version_text, false},
        {numbers + "-0", false},  // the lowest prerelease of the own numbers
        {numbers, own_is_prerelease},
        {std::string(own_version_text) + ".1", own_is_prerelease},  // one identifier more
        {std::to_string(QV_VERSION_MAJOR) + "." + std::to_string(QV_VERSION_MINOR) + "." +
             std::to_string(QV_VERSION_PATCH + 1),
         true},
        {std::to_string(QV_VERSION_MAJOR) + "." + std::to_string(QV_VERSION_MINOR + 1) + ".0-alpha", true},
        {std::to_string(QV_VERSION_MAJOR + 1) + ".0.0", true},
    };
    for (const release_case &c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(offers(release_body(c.version)), c.offered);
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
    const std::string name_key = own_platform().os + "_plugin_filename";
    const std::string url_key = own_platform().os + "_plugin_url";
    const std::string name = expected_name(v);
    // A 0.3.0 release whose own platform's fields hold these values.
    auto with = [&](const std::string &file_name, const std::string &url) {
        return R"({"version":"0.3.0",")" + name_key + R"(":")" + file_name + R"(",")" + url_key + R"(":")" + url +
               R"("})";
    };
    std::string name_off_by_one = name;
    name_off_by_one.back() = static_cast<char>(std::toupper(static_cast<unsigned char>(name.back())));
    std::string name_lower_case = name;
    for (char &c : name_lower_case)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string pretty = "{\n  \"version\" : \"0.3.0\",\r\n\t\"" + name_key + "\":\t\"" + name + "\",\n  \"" + url_key +
                         "\": \"" + expected_url(v) + "\",\n  \"revoked\": false\n}\n";
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
         R"({")" + url_key + R"(":")" + expected_url(v) + R"(",")" + name_key + R"(":")" + name +
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
        {"version missing", 200, "{" + release_fields(v, own_platform()) + "}", false},
        {"version a number", 200, R"({"version":1,")" + name_key + R"(":"x",")" + url_key + R"(":"y"})", false},
        {"version of 63 characters", 200, release_body(long_version), true},
        {"version of 64 characters", 200, release_body(long_version + "a"), false},
        {"file name missing", 200, R"({"version":"0.3.0",")" + url_key + R"(":")" + expected_url(v) + R"("})", false},
        {"address missing", 200, R"({"version":"0.3.0",")" + name_key + R"(":")" + name + R"("})", false},
        {"file name one character off", 200, with(name_off_by_one, expected_url(v)), false},
        {"file name in other letter case", 200, with(name_lower_case, expected_url(v)), false},
        {"file name of another version", 200, with(expected_name("0.3.1"), expected_url(v)), false},
        {"address on another host", 200, with(name, "https://elsewhere.test/downloads/voice/" + name), false},
        {"address on another path", 200, with(name, std::string("https://") + test_host + "/downloads/" + name), false},
        {"address over plain http", 200, with(name, std::string("http://") + test_host + "/downloads/voice/" + name),
         false},
        {"address in other letter case", 200,
         with(name, std::string("HTTPS://") + test_host + "/downloads/voice/" + name), false},
    };
    for (const decision_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(offers(c.body, c.status), c.offered);
    }
    EXPECT_FALSE(release_offers_update(200, nullptr, test_host));
}

// Each library reads only its own platform's two fields.
TEST(update_decision, reads_the_fields_of_its_own_platform) {
    const std::string v = "0.3.0";
    const std::string own = release_fields(v, own_platform());
    const std::string other = release_fields(v, other_platform());
    // This platform's field names carrying the other platform's file and address.
    const std::string crossed = R"(")" + own_platform().os + R"(_plugin_filename":")" +
                                expected_name(v, other_platform()) + R"(",")" + own_platform().os +
                                R"(_plugin_url":")" + expected_url(v, other_platform()) + R"(")";
    struct field_case {
        const char *name;
        std::string fields;
        bool offered;
    };
    const field_case cases[] = {
        {"both platforms, own first", own + "," + other, true},
        {"both platforms, own last", other + "," + own, true},
        {"only this platform", own, true},
        {"only the other platform", other, false},
        {"the other platform's file under this platform's fields", crossed, false},
        {"no platform", R"("channel":"stable")", false},
    };
    for (const field_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(offers(R"({"version":"0.3.0",)" + c.fields + "}"), c.offered);
    }
}

TEST(update_decision, finds_no_update_without_a_web_client) { EXPECT_FALSE(update_available()); }

TEST(update_download, hands_out_the_fixed_address_of_its_platform) {
    const std::string &address = own_platform().download_address;
    EXPECT_STREQ(update_download_address(), address.c_str());
    EXPECT_EQ(update_download_address_length(), address.size());
}

// The reason a reply offers nothing, as a report names it, for either
// platform's fields whatever platform the build is for.
TEST(update_decision, names_the_first_reason_for_each_platform) {
    parsed_version running{};
    ASSERT_TRUE(parse_version(reference_version, &running));
    const std::string both = R"({"version":"0.3.0",)" + release_fields("0.3.0", windows_release) + "," +
                             release_fields("0.3.0", linux_release) + "}";
    auto decide = [&](const std::string &body, const release_platform &p, uint32_t status = 200) {
        return release_decide(status, body.c_str(), test_host, p, running, nullptr);
    };
    auto without = [&](const std::string &field) {
        std::string body = both;
        body.replace(body.find(field), field.size(), "\"x_" + field.substr(1));
        return body;
    };
    for (const release_platform *p : {&release_windows, &release_linux}) {
        SCOPED_TRACE(p->os);
        EXPECT_EQ(decide(both, *p), release_verdict::offered);
        EXPECT_EQ(decide(both, *p, 301), release_verdict::status_not_ok);
        EXPECT_EQ(decide(R"({"revoked": true,)" + both.substr(1), *p), release_verdict::revoked);
        EXPECT_EQ(decide(R"({"channel":"stable"})", *p), release_verdict::version_missing);
        EXPECT_EQ(decide(R"({"version":"0.3"})", *p), release_verdict::version_invalid);
        EXPECT_EQ(decide(R"({"version":"0.2.6"})", *p), release_verdict::not_newer);
        EXPECT_EQ(decide(without(std::string("\"") + p->file_name_field), *p), release_verdict::file_name_missing);
        EXPECT_EQ(decide(without(std::string("\"") + p->url_field), *p), release_verdict::url_missing);
    }
    release_reading reading{};
    std::string body = both;
    body.replace(body.find("v0.3.0.so"), 9, "v0.3.0.SO");
    EXPECT_EQ(release_decide(200, body.c_str(), test_host, release_linux, running, &reading),
              release_verdict::file_name_differs);
    EXPECT_STREQ(reading.file_name, "Quorvane-Voice-v0.3.0.SO");
    EXPECT_STREQ(reading.expected_file_name, "Quorvane-Voice-v0.3.0.so");
    EXPECT_EQ(release_decide(200, body.c_str(), test_host, release_windows, running, nullptr),
              release_verdict::offered);
}

TEST(update_download, both_platforms_fixed_addresses_from_one_rule) {
    char address[release_url_size];
    ASSERT_TRUE(release_download_address(release_this_platform(), QV_WEB_HOST, address, sizeof address));
    EXPECT_STREQ(address, update_download_address());
    ASSERT_TRUE(release_download_address(release_windows, QV_WEB_HOST, address, sizeof address));
    EXPECT_EQ(address, windows_release.download_address);
    ASSERT_TRUE(release_download_address(release_linux, QV_WEB_HOST, address, sizeof address));
    EXPECT_EQ(address, linux_release.download_address);
}
