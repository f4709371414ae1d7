// The files beside the library, through the real library in the simulated
// host: names that are not regular files, the temporary token copies that
// crashed saves leave, the bounded log file, and a plugin folder whose name
// no ANSI code page can spell.
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
const std::string ini = "quorvane_voice.ini";
const std::string token = "quorvane_voice_token.txt";
const std::string log_name = "quorvane_voice.log";
const std::string client_id = "quorvane_voice_client_id.txt";
const std::string prefix = "[Quorvane Voice] ";

// Far beyond what any file operation takes, far short of for ever.
constexpr int never_blocks_bound_ms = 20000;
constexpr size_t log_limit = 8u * 1024u * 1024u;

// Runs fn on a thread of its own. A call still running after the bound is
// one that blocks; its thread cannot be got back, so the program ends here.
template <typename Fn>
void returns_promptly(const std::string &what, Fn fn) {
    std::atomic<bool> done{false};
    std::thread call([&] {
        fn();
        done = true;
    });
    if (!eventually([&] { return done.load(); }, never_blocks_bound_ms)) {
        std::fprintf(stderr, "[  FAILED  ] %s did not return\n", what.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    call.join();
}

unsigned long this_process() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

bool holds(const std::vector<std::string> &lines, const std::string &part) {
    for (const std::string &line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}
}  // namespace

using data_files = host_test;

TEST_F(data_files, names_that_are_not_regular_files_never_block_and_count_as_missing) {
    enum class kind { folder, fifo, zero_device };
    struct row {
        std::string file;
        kind what;
    };
    std::vector<row> rows = {
        {ini, kind::folder}, {token, kind::folder}, {log_name, kind::folder}, {client_id, kind::folder}};
#if !defined(_WIN32)
    rows.insert(rows.end(), {{ini, kind::fifo},
                             {ini, kind::zero_device},
                             {token, kind::fifo},
                             {log_name, kind::fifo},
                             {client_id, kind::fifo}});
#endif
    for (const row &r : rows) {
        const std::string what = r.file + (r.what == kind::folder ? " as a folder"
                                           : r.what == kind::fifo ? " as a FIFO"
                                                                  : " as a link to /dev/zero");
        SCOPED_TRACE(what);
        ASSERT_NO_FATAL_FAILURE(open("plugin"));
        const std::string path = sandbox->file(r.file).string();
        if (r.what == kind::folder) {
            // Not empty, so nothing the plugin tries can take it away.
            fs::create_directories(sandbox->file(r.file) / "inside");
        }
#if !defined(_WIN32)
        if (r.what == kind::fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        }
        if (r.what == kind::zero_device) {
            ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
        }
#endif
        host->register_api();
        host->set_local_user(7);  // and no users: the client id stands in
        returns_promptly("init with " + what, [&] { host->init(); });
        returns_promptly("synchronize with " + what, [&] { host->synchronize(0); });
        auto logs = host->logs();
        // The defaults stand when the ini is missing.
        EXPECT_TRUE(holds(logs, " host=127.0.0.1 port=8890 enabled=1")) << logs.at(0);
        EXPECT_TRUE(holds(logs, prefix + "Quorvane Voice found this Mumble identity: "));
        if (r.file != log_name) {
            EXPECT_NE(log_file().find("loaded version="), std::string::npos);
        }
        returns_promptly("a second synchronize with " + what, [&] {
            host->disconnect(0);
            host->synchronize(0);
        });
        host->shutdown();
        // Whatever stood there is still what it was.
        EXPECT_TRUE(fs::exists(fs::symlink_status(sandbox->file(r.file))));
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(sandbox->file(r.file))));
    }
}

TEST_F(data_files, init_deletes_the_temporary_token_copies_and_nothing_else) {
    const std::string copy = "vc1.Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-xyz\r\n";
    const std::vector<std::string> leftovers = {token + ".new.1234", token + ".new.4294967295", token + ".new.x"};
    const std::vector<std::string> neighbours = {token,     token + ".new",         token + ".bak",
                                                 "x.new.1", "a" + token + ".new.1", log_name + ".new.1"};
    for (const std::string &name : leftovers)
        sandbox->write(name, copy);
    for (const std::string &name : neighbours)
        sandbox->write(name, name);
    host->register_api();
    ASSERT_EQ(host->init(), 0);
    for (const std::string &name : leftovers)
        EXPECT_FALSE(sandbox->exists(name)) << name;
    for (const std::string &name : neighbours)
        EXPECT_EQ(sandbox->read(name), name);
    host->shutdown();
}

TEST_F(data_files, a_full_log_file_is_moved_aside_before_the_next_line) {
    struct row {
        size_t filled;
        bool older_copy;
        bool moved;
    } rows[] = {
        {log_limit, true, true},
        {log_limit + 100, false, true},
        {log_limit - 1, false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE("a log of " + std::to_string(r.filled) + " bytes");
        ASSERT_NO_FATAL_FAILURE(open("plugin"));
        const std::string filled = std::string(r.filled - 2, 'x') + "\r\n";
        sandbox->write(log_name, filled);
        if (r.older_copy) sandbox->write(log_name + ".1", "older copy\r\n");
        host->register_api();
        ASSERT_EQ(host->init(), 0);
        host->shutdown();
        ASSERT_EQ(host->logs().size(), 1u);
        const std::string line_end = host->logs()[0].substr(prefix.size()) + "\r\n";
        std::string now = log_file();
        if (r.moved) {
            EXPECT_TRUE(sandbox->read(log_name + ".1") == filled) << "the full file, whole, in the .1 file";
            EXPECT_EQ(now.size(), 22 + line_end.size()) << "a new file with the one line";
        } else {
            EXPECT_FALSE(sandbox->exists(log_name + ".1"));
            EXPECT_EQ(now.size(), filled.size() + 22 + line_end.size());
            EXPECT_TRUE(now.compare(0, filled.size(), filled) == 0);
        }
        EXPECT_EQ(now.substr(now.size() - line_end.size()), line_end);
    }
}

// The folder's name holds Cyrillic and CJK letters: on Windows only the
// wide calls reach it.
TEST_F(data_files, every_file_works_in_a_folder_named_outside_the_ansi_code_page) {
    const std::string folder = "плагин_插件";
    ASSERT_NO_FATAL_FAILURE(open(folder));
    // The name on the disk, not one spelled through a code page.
    ASSERT_TRUE(sandbox->dir().filename().u8string() == u8"плагин_插件");
    const std::string ini_path = utf8_text(sandbox->file(ini));

    // First run: the ini, the log, the start-up notice and the client id.
    sandbox->write(ini, "enabled=0\n");
    host->register_api();
    host->set_local_user(7);
    ASSERT_EQ(host->init(), 0);
    ASSERT_EQ(host->logs().size(), 1u);
    EXPECT_NE(host->logs()[0].find(" config=" + ini_path + " host=127.0.0.1 port=8890 enabled=0"), std::string::npos)
        << host->logs()[0];
    EXPECT_NE(log_file().find(" config=" + ini_path + " "), std::string::npos);
    std::vector<std::string> announced;
    for (int round = 0; round < 2; ++round) {
        host->clear_logs();
        host->synchronize(0);
        ASSERT_TRUE(sandbox->exists(client_id)) << "round " << round;
        for (const std::string &line : host->logs())
            if (line.find("found this Mumble identity") != std::string::npos) announced.push_back(line);
        host->disconnect(0);
    }
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[0], announced[1]) << "the client id is kept";
    EXPECT_NE(announced[0].find(sandbox->read(client_id).substr(0, 8) + "..."), std::string::npos);
    host->shutdown();

    // Second run: a token on disk is read and proven to the falloff server.
    const std::string identity = "0123456789abcdef0123456789abcdef01234567";
    const std::string credential = "vc1.Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-Ab0_-xyz";
    const std::string challenge = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
    // HMAC-SHA-256 keyed with SHA-256 of the credential, worked out apart.
    const std::string expected_auth = "184dd02326ec2cfb57fbc6670b2f5c69799e8863efaa626c1c7eef6991daca5e";
    falloff_peer falloff({peer_expect("HELLO2 " + identity + " "), peer_send("CHALLENGE " + challenge + "\n"),
                          peer_expect("AUTH "), peer_send("OK\n"), peer_wait_close(30000)});
    sandbox->write(ini, "server_port=" + std::to_string(falloff.port()) + "\n");
    sandbox->write(token, credential + "\r\n");
    host->set_users({{7, identity}});
    ASSERT_EQ(host->init(), 0);
    host->synchronize(0);
    ASSERT_TRUE(falloff.wait_for_lines(0, 2, 20000));
    EXPECT_EQ(falloff.lines(0).at(1), "AUTH " + expected_auth);
    host->disconnect(0);
    host->shutdown();
    falloff.stop();
    EXPECT_TRUE(falloff.problems().empty()) << falloff.problems().front();

    // Third run: a save goes through the temporary file and replaces the
    // token; a copy an earlier crash left is gone first.
    sandbox->write(token + ".new.77", credential + "\r\n");
    scoped_env saves("QUORVANE_VOICE_TEST_CREDENTIAL_SAVES", "1");
    char saved[64];
    std::snprintf(saved, sizeof saved, "vc1.%010lu%010lu-%010lu%010lu_q", this_process(), 0ul, this_process(), 0ul);
    ASSERT_EQ(host->init(), 0);
    EXPECT_TRUE(eventually([&] { return sandbox->read(token) == std::string(saved) + "\r\n"; }));
    host->shutdown();
    for (const auto &entry : fs::directory_iterator(sandbox->dir()))
        EXPECT_EQ(utf8_text(entry.path().filename()).find(".new."), std::string::npos) << utf8_text(entry.path());
}
