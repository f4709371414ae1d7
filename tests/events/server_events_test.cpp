// Mumble's server events through the real library in the simulated host:
// the identity announcement, the client id file, the user hash refresh and
// the disconnect. The fixture checks that every host pointer came back once.
#include "build_info.h"
#include "harness/host_fixture.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {
constexpr mumble_connection_t connection = 3;
constexpr uint32_t local_user = 7;
constexpr mumble_error_t host_failure = 1;
const char *const client_id_file = "quorvane_voice_client_id.txt";
const std::string prefix = "[Quorvane Voice] ";

std::vector<std::string> announcement(const std::string &identity) {
    const std::string rule(52, '-');
    return {prefix + rule, prefix + "Quorvane Voice " QV_VERSION_TEXT "  -  proximity voice",
            prefix + "Quorvane Voice found this Mumble identity: " + identity.substr(0, 8) + "...",
            prefix + "A browser approval will open if this certificate is not linked.", prefix + rule};
}

// A distinct 40-digit certificate hash per seed.
std::string cert_hash(uint32_t seed) {
    char text[41];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x%08x", seed, seed ^ 0x5a5a5a5au, ~seed, seed * 7u, seed + 1u);
    return text;
}

std::vector<host_user> users_with_hashes(uint32_t first_id, size_t n) {
    std::vector<host_user> users;
    for (size_t i = 0; i < n; ++i) {
        uint32_t id = first_id + static_cast<uint32_t>(i);
        users.push_back({id, cert_hash(id)});
    }
    return users;
}
}  // namespace

class server_events : public host_test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(host_test::SetUp());
        host->register_api();
        ASSERT_EQ(host->init(), 0);
        started = true;
        // Every host call must name the synchronized connection.
        host->set_connection(connection);
        host->set_local_user(local_user);
        host->clear_logs();
    }

    void TearDown() override {
        if (started) host->shutdown();
        host_test::TearDown();
    }

    // The counts of every "refreshed" line in the log file, in order.
    std::vector<size_t> refreshes() const {
        static const std::regex line(R"(refreshed (\d+) Mumble user hashes\r\n)");
        std::vector<size_t> counts;
        std::string text = log_file();
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            counts.push_back(std::stoul((*it)[1].str()));
        return counts;
    }

    void remove_client_id() { std::filesystem::remove(sandbox->file(client_id_file)); }

    bool started = false;
};

TEST_F(server_events, a_local_hash_is_announced_and_every_host_pointer_given_back) {
    const std::string hash = cert_hash(local_user);
    host->set_users({{local_user, hash}, {8, cert_hash(8)}});
    host->synchronize(connection);
    EXPECT_EQ(host->logs(), announcement(hash));
    EXPECT_EQ(host->handed_out(), 4u) << "the local hash, the user array and two user hashes";
    EXPECT_EQ(refreshes(), std::vector<size_t>{2});
    EXPECT_FALSE(sandbox->exists(client_id_file));
}

TEST_F(server_events, the_client_id_file_is_kept_when_valid_and_replaced_otherwise) {
    const std::string upper32 = "ABCDEF0123456789ABCDEF0123456789";  // letters first: the case shows
    std::string digits200;
    for (int i = 0; i < 200; ++i)
        digits200 += "0123456789abcdef"[(i * 7) % 16];
    struct row {
        const char *name;
        std::optional<std::string> content;  // nullopt: no file
        bool kept;
    } rows[] = {
        {"no file", std::nullopt, false},
        {"32 upper-case digits with blanks and a line end", "  " + upper32 + " \t\r\n", true},
        {"200 digits", digits200 + "\r\n", true},
        {"31 digits", upper32.substr(0, 31) + "\r\n", false},
        {"a blank between digits", upper32.substr(0, 16) + " " + upper32.substr(16) + "\r\n", false},
        {"a non-hex character between digits", upper32.substr(0, 16) + "x" + upper32.substr(16) + "\r\n", false},
        {"only white space", " \t \r\n", false},
        {"empty", "", false},
        {"the id on the second line", "\r\n" + upper32 + "\r\n", false},
    };
    const std::regex made(R"([0-9a-f]{40}\r\n)");
    std::set<std::string> made_ids;
    // No users: getUserHash fails for the local user and the client id stands in.
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        remove_client_id();
        if (r.content) sandbox->write(client_id_file, *r.content);
        host->clear_logs();
        host->synchronize(connection);
        std::string after = sandbox->read(client_id_file);
        std::string id;
        if (r.kept) {
            EXPECT_EQ(after, *r.content) << "an accepted file is not rewritten";
            size_t start = r.content->find_first_not_of(" \t");
            id = r.content->substr(start, 8);
        } else {
            ASSERT_TRUE(std::regex_match(after, made)) << after;
            id = after.substr(0, 40);
            EXPECT_TRUE(made_ids.insert(id).second) << "a made id repeats: " << id;
        }
        EXPECT_EQ(host->logs(), announcement(id));
        host->disconnect(connection);

        // Whatever the file holds now is accepted from here on.
        host->clear_logs();
        host->synchronize(connection);
        EXPECT_EQ(sandbox->read(client_id_file), after);
        EXPECT_EQ(host->logs(), announcement(id));
        host->disconnect(connection);
    }
}

TEST_F(server_events, without_a_usable_local_hash_the_client_id_stands_in) {
    const std::string id = "00112233445566778899aabbccddeeff";
    sandbox->write(client_id_file, id + "\r\n");
    struct row {
        const char *name;
        host_user local;
    } rows[] = {
        {"an empty hash", {local_user, std::string(), 0}},
        {"a hash with a failure code", {local_user, cert_hash(1), host_failure}},
        {"a failure without a hash", {local_user, std::nullopt, host_failure}},
        {"success without a hash", {local_user, std::nullopt, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        host->set_users({r.local});
        host->clear_logs();
        host->synchronize(connection);
        EXPECT_EQ(host->logs(), announcement(id));
        EXPECT_EQ(host->outstanding(), 0u);
        host->disconnect(connection);
    }
    EXPECT_EQ(sandbox->read(client_id_file), id + "\r\n");
}

TEST_F(server_events, a_failing_local_user_id_is_reported_and_settles_no_identity) {
    host->set_local_user(local_user, host_failure);
    host->set_users({{local_user, cert_hash(local_user)}});
    host->synchronize(connection);
    EXPECT_EQ(host->logs(), std::vector<std::string>{prefix + "failed to read local Mumble user id"});
    EXPECT_FALSE(sandbox->exists(client_id_file));
    EXPECT_EQ(refreshes(), std::vector<size_t>{1}) << "the refresh still runs";
}

TEST_F(server_events, without_a_connection_or_a_host_function_that_step_asks_nothing) {
    struct row {
        const char *name;
        mumble_connection_t connection;
        std::optional<size_t> missing_slot;
        bool announced;
        bool refreshed;
    } rows[] = {
        {"a negative connection", -1, std::nullopt, false, false},
        {"no getLocalUserID", connection, api_slot_get_local_user_id, false, true},
        {"no getAllUsers", connection, api_slot_get_all_users, true, false},
        {"no getUserHash", connection, api_slot_get_user_hash, false, false},
        {"no freeMemory", connection, api_slot_free_memory, false, false},
    };
    const std::string hash = cert_hash(local_user);
    host->set_users({{local_user, hash}});
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        mumble_api_table table = host->table();
        if (r.missing_slot) table.slots[*r.missing_slot] = nullptr;
        host->register_table(&table);
        host->clear_logs();
        size_t refreshed_before = refreshes().size();
        size_t handed_before = host->handed_out();
        host->synchronize(r.connection);
        EXPECT_EQ(host->logs(), r.announced ? announcement(hash) : std::vector<std::string>{});
        EXPECT_EQ(refreshes().size(), refreshed_before + (r.refreshed ? 1 : 0));
        if (!r.announced && !r.refreshed) {
            EXPECT_EQ(host->handed_out(), handed_before) << "no host call at all";
        }
        host->disconnect(r.connection);
    }
    EXPECT_FALSE(sandbox->exists(client_id_file));
}

TEST_F(server_events, the_user_table_keeps_users_with_a_readable_hash_up_to_512) {
    std::vector<host_user> unreadable_first;
    for (uint32_t id = 1000; id < 1100; ++id)
        unreadable_first.push_back({id, std::string()});
    for (const host_user &u : users_with_hashes(1100, 600))
        unreadable_first.push_back(u);
    struct row {
        const char *name;
        std::vector<host_user> users;
        mumble_error_t result;
        std::optional<size_t> expected;  // nullopt: no refresh line
    } rows[] = {
        {"600 users with hashes", users_with_hashes(1, 600), 0, 512},
        {"512 kept after 100 unreadable ones", unreadable_first, 0, 512},
        {"users whose hash fails or is empty are left out",
         {{1, cert_hash(1)},
          {2, cert_hash(2), host_failure},
          {3, std::nullopt, host_failure},
          {4, std::string()},
          {5, std::nullopt, 0},
          {6, cert_hash(6)}},
         0,
         2},
        {"no users", {}, 0, 0},
        {"getAllUsers failing", users_with_hashes(1, 3), host_failure, std::nullopt},
    };
    host->set_users({{local_user, cert_hash(local_user)}});
    host->synchronize(connection);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        host->set_users(r.users, r.result);
        std::vector<size_t> before = refreshes();
        host->user_added(connection, 1);
        std::vector<size_t> after = refreshes();
        if (r.expected) {
            ASSERT_EQ(after.size(), before.size() + 1);
            EXPECT_EQ(after.back(), *r.expected);
        } else {
            EXPECT_EQ(after.size(), before.size());
        }
        EXPECT_EQ(host->outstanding(), 0u);
    }
}

TEST_F(server_events, user_and_channel_events_refresh_until_a_disconnect) {
    const std::string hash = cert_hash(local_user);
    host->set_users({{local_user, hash}, {8, cert_hash(8)}});
    host->synchronize(connection);
    host->set_users({{local_user, hash}});
    host->user_removed(connection, 8);
    host->set_users(users_with_hashes(20, 3));
    host->channel_entered(connection, 20, 0, 1);
    EXPECT_EQ(refreshes(), (std::vector<size_t>{2, 1, 3}));

    host->disconnect(connection);
    size_t handed = host->handed_out();
    host->user_added(connection, 21);
    host->user_removed(connection, 21);
    host->channel_entered(connection, 20, 1, 0);
    EXPECT_EQ(refreshes().size(), 3u) << "no connection, no refresh";
    EXPECT_EQ(host->handed_out(), handed);

    host->set_users({{local_user, hash}});
    host->clear_logs();
    host->synchronize(connection);
    EXPECT_EQ(host->logs(), announcement(hash));
    EXPECT_EQ(refreshes(), (std::vector<size_t>{2, 1, 3, 1}));
}

// Mumble adds a joining user and moves them into their channel before it
// knows their certificate hash; their first talk is what brings them into
// the table. Only a talking state on the synchronized connection from a user
// missing from the table asks the host anything, and a user whose hash stays
// empty costs at most one rebuild a second.
TEST_F(server_events, a_talking_user_missing_from_the_table_rebuilds_it_at_most_once_a_second) {
    // Plugin time at the real rate, so the once-a-second bound is real time.
    host->shutdown();
    set_env("QUORVANE_VOICE_TEST_TIME_SCALE", "1");
    ASSERT_EQ(host->init(), 0);
    const std::string hash = cert_hash(local_user);
    host->set_users({{local_user, hash}, {8, cert_hash(8)}});
    host->synchronize(connection);
    ASSERT_EQ(refreshes(), std::vector<size_t>{2});

    host->user_joins(connection, 30, cert_hash(30));  // hash empty during both events
    ASSERT_EQ(refreshes(), (std::vector<size_t>{2, 2, 2}));
    host->user_joins(connection, 31, "");  // a hash that never comes

    // Nothing is asked for users already known, for states that are not
    // talking, or for another connection.
    size_t handed = host->handed_out();
    host->talking_state(connection, 8, mumble_talking);
    host->talking_state(connection, 30, mumble_talking_passive);
    host->talking_state(connection, 30, mumble_talking_invalid);
    host->talking_state(connection + 1, 30, mumble_talking);
    EXPECT_EQ(host->handed_out(), handed);
    EXPECT_EQ(refreshes().size(), 5u);

    // Every talking state counts; the first brings user 30 in.
    host->talking_state(connection, 30, mumble_talking_muted);
    EXPECT_EQ(refreshes().back(), 3u);
    handed = host->handed_out();
    host->talking_state(connection, 30, mumble_talking_shouting);
    EXPECT_EQ(host->handed_out(), handed) << "user 30 is now known";

    // User 31 stays out of the table: one rebuild, then none within the second.
    const size_t before = refreshes().size();
    host->talking_state(connection, 31, mumble_talking);
    host->talking_state(connection, 31, mumble_talking_whispering);
    host->talking_state(connection, 31, mumble_talking);
    EXPECT_EQ(refreshes().size(), before + 1);
    EXPECT_EQ(refreshes().back(), 3u);
    sleep_real_ms(1100);
    host->talking_state(connection, 31, mumble_talking);
    EXPECT_EQ(refreshes().size(), before + 2);
}
