// One version everywhere: what Mumble and the web service are shown agrees
// with the version the build defines (the top CMakeLists.txt). The bundle's
// manifest is held to the same definition by the bundle check.
#include "build_info.h"
#include "harness/host_fixture.h"
#include "harness/web_peer.h"

#include <algorithm>
#include <string>

namespace {
// The expected texts are put together from the numbers and the prerelease,
// not taken from the finished version text, so that a text that strays from
// its parts shows.
const std::string numbers =
    std::to_string(QV_VERSION_MAJOR) + "." + std::to_string(QV_VERSION_MINOR) + "." + std::to_string(QV_VERSION_PATCH);
const std::string prerelease = QV_VERSION_PRERELEASE;
const std::string version_text = prerelease.empty() ? numbers : numbers + "-" + prerelease;

bool has_line(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
}  // namespace

TEST(version_definition, text_is_the_numbers_and_the_prerelease) {
    EXPECT_EQ(QV_VERSION_NUMBERS, numbers);
    EXPECT_EQ(QV_VERSION_TEXT, version_text);
}

class version_seen : public host_test {};

TEST_F(version_seen, by_mumble_and_the_web_service) {
    web_peer peer;
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.reply("/api/voice/releases/stable.json", 200, "{}"));
    const mumble_exports &x = host->exports();

    const mumble_version_t v = x.mumble_getVersion();
    EXPECT_EQ(std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch), numbers);
    const MumbleStringWrapper description = x.mumble_getDescription();
    EXPECT_EQ(std::string(description.data, description.size),
              "Quorvane Voice " + version_text + " - positional proximity voice for Quorvane (Saurwald).");

    host->register_api();
    ASSERT_EQ(host->init(), 0);
    ASSERT_FALSE(host->logs().empty());
    EXPECT_EQ(host->logs()[0].rfind("[Quorvane Voice] loaded version=" + numbers + " platform=", 0), 0u)
        << host->logs()[0];

    {
        web_peer_environment env(peer);
        EXPECT_FALSE(x.mumble_hasUpdate());
    }
    const auto seen = peer.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].headers.find("User-Agent: QuorvaneVoice/" + version_text + "\r\n"), std::string::npos)
        << seen[0].headers;

    constexpr mumble_connection_t connection = 3;
    constexpr uint32_t local_user = 7;
    host->set_connection(connection);
    host->set_local_user(local_user);
    host->set_users({{local_user, std::string(40, 'a')}});
    host->synchronize(connection);
    EXPECT_TRUE(has_line(host->logs(), "[Quorvane Voice] Quorvane Voice " + version_text + "  -  proximity voice"));
    host->shutdown();
}
