// The credential format, and its durable save through a temporary file.
#include "identity/credential_store.h"
#include "core/plugin_state.h"
#include "harness/sandbox.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {
const std::string good = "vc1." + std::string(40, 'a') + "Z9_";
const std::string other = "vc1." + std::string(40, 'b') + "-_0";

class credential_store : public ::testing::Test {
  protected:
    void SetUp() override {
        state_lock_setup();
        g_state.credential[0] = '\0';
        std::snprintf(g_state.token_path, sizeof g_state.token_path, "%s", box.file("token.txt").string().c_str());
        temporary = box.file("token.txt.new." + std::to_string(platform_process_id())).string();
    }
    std::string credential() const { return g_state.credential; }
    // Files of the token's family: the token file and any temporary.
    size_t token_files() const {
        size_t n = 0;
        for (auto &entry : std::filesystem::directory_iterator(box.dir()))
            n += entry.path().filename().string().rfind("token.txt", 0) == 0;
        return n;
    }
    plugin_sandbox box;
    std::string temporary;
};
}  // namespace

TEST(credential_format, accepts_only_the_exact_token_shape) {
    ASSERT_EQ(good.size(), 47u);
    EXPECT_TRUE(credential_is_valid(good.c_str()));
    EXPECT_TRUE(credential_is_valid(other.c_str()));
    const std::string bad[] = {
        good.substr(0, 46),      good + "a", "VC1." + good.substr(4), "vc2." + good.substr(4),
        "vc1_" + good.substr(4),  // no dot after the prefix
    };
    for (const std::string &b : bad)
        EXPECT_FALSE(credential_is_valid(b.c_str())) << b;
    for (char c : std::string(" .+/=\xc3\t")) {
        std::string t = good;
        t[20] = c;
        EXPECT_FALSE(credential_is_valid(t.c_str())) << static_cast<int>(c);
    }
    EXPECT_FALSE(credential_is_valid(""));
    EXPECT_FALSE(credential_is_valid(nullptr));
}

TEST_F(credential_store, publish_stores_only_valid_tokens) {
    credential_publish(good.c_str());
    EXPECT_EQ(credential(), good);
    credential_publish("vc1.short");
    EXPECT_EQ(credential(), "");
}

TEST_F(credential_store, save_creates_then_replaces_the_file_whole) {
    ASSERT_TRUE(credential_save(good.c_str()));
    EXPECT_EQ(box.read("token.txt"), good + "\r\n");
    EXPECT_EQ(credential(), good);
    ASSERT_TRUE(credential_save(other.c_str()));
    EXPECT_EQ(box.read("token.txt"), other + "\r\n");
    EXPECT_EQ(box.read("token.txt").size(), 49u);
    EXPECT_EQ(credential(), other);
    EXPECT_EQ(token_files(), 1u) << "no temporary file left behind";
#if !defined(_WIN32)
    struct stat st {};
    ASSERT_EQ(stat(g_state.token_path, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the token is a secret";
#endif
}

TEST_F(credential_store, an_invalid_token_touches_nothing) {
    box.write("token.txt", good + "\r\n");
    credential_publish(good.c_str());
    EXPECT_FALSE(credential_save("vc1.not-a-token"));
    EXPECT_EQ(box.read("token.txt"), good + "\r\n");
    EXPECT_EQ(credential(), good);
    EXPECT_EQ(token_files(), 1u);
}

TEST_F(credential_store, a_failed_move_keeps_the_old_state_and_leaves_no_temporary) {
    // A folder where the token file should be: the final move fails for real.
    std::filesystem::create_directories(box.file("token.txt") / "in-the-way");
    EXPECT_FALSE(credential_save(good.c_str()));
    EXPECT_EQ(credential(), "");
    EXPECT_FALSE(std::filesystem::exists(temporary));
    EXPECT_TRUE(std::filesystem::is_directory(box.file("token.txt")));
}

TEST_F(credential_store, a_temporary_that_cannot_be_made_keeps_the_old_file) {
    box.write("token.txt", good + "\r\n");
    credential_publish(good.c_str());
    std::filesystem::create_directories(temporary);  // the temporary name is taken by a folder
    EXPECT_FALSE(credential_save(other.c_str()));
    EXPECT_EQ(box.read("token.txt"), good + "\r\n");
    EXPECT_EQ(credential(), good);
}

// The token file as init reads it: a valid first line is published, anything
// else leaves the credential as it was.
TEST_F(credential_store, the_token_file_publishes_a_valid_first_line_and_nothing_else) {
    const std::string valid_token = "vc1." + std::string(20, 'a') + "Z9_-" + std::string(19, 'b');
    const std::string earlier_token = "vc1." + std::string(43, 'e');
    const std::string path = box.file("quorvane_voice_token.txt").string();
    ASSERT_EQ(valid_token.size(), 47u);
    struct row {
        std::string content;
        bool accepted;
    } rows[] = {
        {"  \t" + valid_token + "\r\n", true},
        {valid_token, true},
        {valid_token + "\nsecond line\n", true},
        {valid_token.substr(0, 46) + "\n", false},
        {valid_token + "a\n", false},
        {"vc1." + std::string(".") + valid_token.substr(5) + "\n", false},
        {"vc1." + std::string("+") + valid_token.substr(5) + "\n", false},
        {"vc2." + valid_token.substr(4) + "\n", false},
        {"\n" + valid_token + "\n", false},
        {"", false},
    };
    for (const row &r : rows) {
        credential_publish(earlier_token.c_str());
        box.write("quorvane_voice_token.txt", r.content);
        EXPECT_EQ(credential_read_token_file(path.c_str()), r.accepted) << r.content;
        EXPECT_EQ(credential(), r.accepted ? valid_token : earlier_token) << r.content;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(credential_read_token_file(path.c_str()));
    EXPECT_EQ(credential(), earlier_token);
}
