// Crash safety of the token file. A child process loads the real library,
// which saves credentials one after the other, and the test kills it with
// SIGKILL at random moments. After every kill the token file is absent (no
// save has ended yet), the token that was there before, or a token the
// child wrote: never empty, cut or mixed. The temporary copy a kill leaves
// behind is gone once the next child has started.
//
//   credential_crash_tests [--kills N] [GoogleTest options]
#include "harness/mumble_host.h"
#include "harness/sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

extern char **environ;

namespace fs = std::filesystem;

namespace {
constexpr int default_kills = 100;
int kills = default_kills;

const std::string token_name = "quorvane_voice_token.txt";
// The child is killed this long at most after its init has returned: the
// saves run back to back from the start.
constexpr int max_kill_delay_us = 20000;
constexpr int child_ready_bound_ms = 60000;
// Every token the development library's save loop writes: "vc1." + P + C +
// "-" + P + C + "_q", P its process id and C a count, each in 10 digits.
constexpr size_t token_file_size = 49;

std::string self_program() { return fs::read_symlink("/proc/self/exe").string(); }

// The child: loads the library, lets init start the saving worker, says
// "ready" and waits to be killed.
[[noreturn]] void run_saver(const char *library) {
    mumble_host host(library);
    if (!host.loaded()) {
        std::fprintf(stderr, "saver: %s\n", host.load_error().c_str());
        std::_Exit(2);
    }
    host.register_api();
    host.init();
    if (write(STDOUT_FILENO, "ready\n", 6) != 6) std::_Exit(3);
    for (;;)
        pause();
}

struct child {
    pid_t pid = -1;
    int out = -1;  // the read end of its standard output
};

child spawn_saver(const std::string &library) {
    child c;
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return c;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    std::string program = self_program();
    char *argv[] = {program.data(), const_cast<char *>("--saver"), const_cast<char *>(library.c_str()), nullptr};
    if (posix_spawn(&c.pid, program.c_str(), &actions, nullptr, argv, environ) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    c.out = pipe_ends[0];
    return c;
}

bool wait_ready(const child &c) {
    pollfd p{c.out, POLLIN, 0};
    char text[8] = {};
    return poll(&p, 1, child_ready_bound_ms) == 1 && read(c.out, text, 6) == 6 && std::string(text) == "ready\n";
}

void kill_and_reap(child &c) {
    kill(c.pid, SIGKILL);
    int status = 0;
    waitpid(c.pid, &status, 0);
    close(c.out);
}

// The process id of a whole token of the save loop; 0 for anything else.
unsigned long writer_of(const std::string &content) {
    if (content.size() != token_file_size || content.compare(47, 2, "\r\n") != 0) return 0;
    unsigned long p1 = 0, c1 = 0, p2 = 0, c2 = 0;
    char tail[3] = {};
    if (std::sscanf(content.c_str(), "vc1.%10lu%10lu-%10lu%10lu%2s", &p1, &c1, &p2, &c2, tail) != 5) return 0;
    char expected[64];
    std::snprintf(expected, sizeof expected, "vc1.%010lu%010lu-%010lu%010lu_q\r\n", p1, c1, p1, c1);
    return content == expected && p1 == p2 && c1 == c2 ? p1 : 0;
}

std::string printable(const std::string &bytes) {
    std::string out;
    for (unsigned char ch : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, ch >= 32 && ch < 127 ? "%c" : "\\x%02x", ch);
        out += hex;
    }
    return out;
}

bool read_file(const fs::path &path, std::string *out) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char chunk[128];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        out->append(chunk, n);
    std::fclose(f);
    return true;
}

// The temporary files in the folder, by the process id in their names.
std::vector<unsigned long> leftovers(const plugin_sandbox &box) {
    std::vector<unsigned long> pids;
    const std::string prefix = token_name + ".new.";
    for (const auto &entry : fs::directory_iterator(box.dir())) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) pids.push_back(std::strtoul(name.c_str() + prefix.size(), nullptr, 10));
    }
    return pids;
}

mode_t mode_of(const fs::path &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}
}  // namespace

TEST(credential_crash, every_kill_leaves_no_token_the_old_one_or_a_new_one_whole) {
    plugin_sandbox box;
    const fs::path token = box.file(token_name);
    scoped_env saves("QUORVANE_VOICE_TEST_CREDENTIAL_SAVES", "4000000000");
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, max_kill_delay_us);

    int absent = 0, old = 0, fresh = 0, cut_short = 0;
    bool ever_present = false;
    std::string before;
    unsigned long previous_pid = 0;
    for (int k = 0; k < kills; ++k) {
        child c = spawn_saver(box.library());
        ASSERT_GT(c.pid, 0);
        ASSERT_TRUE(wait_ready(c)) << "kill " << k << ": the child did not start";
        // Init has returned: the copy the previous kill may have left is gone.
        for (unsigned long pid : leftovers(box))
            EXPECT_NE(pid, previous_pid) << "kill " << k << ": a temporary file survived the start";
        usleep(static_cast<useconds_t>(delay_us(random)));
        kill_and_reap(c);
        previous_pid = static_cast<unsigned long>(c.pid);

        std::string now;
        bool present = read_file(token, &now);
        if (!present) {
            EXPECT_FALSE(ever_present) << "kill " << k << ": the token file vanished";
            ++absent;
        } else {
            ASSERT_NE(writer_of(now), 0u) << "kill " << k << ": " << printable(now);
            EXPECT_EQ(mode_of(token), 0600u);
            if (ever_present && now == before) {
                ++old;
            } else {
                EXPECT_EQ(writer_of(now), previous_pid) << "kill " << k << ": " << printable(now);
                ++fresh;
            }
        }
        ever_present = ever_present || present;
        before = now;
        for (unsigned long pid : leftovers(box)) {
            if (pid != previous_pid) continue;
            ++cut_short;
            EXPECT_EQ(mode_of(box.file(token_name + ".new." + std::to_string(pid))), 0600u);
        }
    }
    std::printf("%d kills: token absent %d, old %d, new %d; %d kills left a temporary copy\n", kills, absent, old,
                fresh, cut_short);
    EXPECT_GT(fresh, 0) << "the children saved nothing";
    EXPECT_GT(cut_short, 0) << "no kill landed inside a save";

    // One more start, in this process, with no saving: no copy survives it.
    unset_env("QUORVANE_VOICE_TEST_CREDENTIAL_SAVES");
    mumble_host host(box.library());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.register_api();
    host.init();
    EXPECT_TRUE(leftovers(box).empty());
    host.shutdown();
    std::string last;
    ASSERT_TRUE(read_file(token, &last));
    EXPECT_EQ(last, before);
}

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--saver") == 0) run_saver(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--kills") == 0) kills = std::atoi(argv[i + 1]);
    return RUN_ALL_TESTS();
}
