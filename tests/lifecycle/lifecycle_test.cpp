// The library's exports and lifecycle, through the real library in the
// simulated host.
#include "build_info.h"
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"
#include "harness/process_probe.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string loaded_notice(const plugin_sandbox &box, const std::string &word) {
    std::string ini = box.file("quorvane_voice.ini").string();
    return "[Quorvane Voice] loaded version=" QV_VERSION_NUMBERS " platform=" + word + " config=" + ini +
           " host=127.0.0.1 port=8890 enabled=1";
}

#if defined(_WIN32)
const std::string platform_word = "windows";
#else
const std::string platform_word = "linux";
#endif
}  // namespace

class lifecycle : public host_test {
  protected:
    // The held worker has written its answer (the file appears before its
    // text does).
    bool marked() const { return sandbox->exists("mark.txt") && !sandbox->read("mark.txt").empty(); }
};

TEST_F(lifecycle, metadata_answers_as_mumble_expects) {
    const mumble_exports &x = host->exports();
    // Every export of the host's list is there, under its own name.
    EXPECT_EQ(host->exports_found(), mumble_export_count);
    struct version_row {
        const char *name;
        mumble_version_t (*get)();
        mumble_version_t expected;
    } versions[] = {
        {"mumble_getAPIVersion", x.mumble_getAPIVersion, {1, 2, 0}},
        {"mumble_getPluginFunctionsVersion", x.mumble_getPluginFunctionsVersion, {1, 1, 0}},
        {"mumble_getVersion", x.mumble_getVersion, {QV_VERSION_MAJOR, QV_VERSION_MINOR, QV_VERSION_PATCH}},
    };
    for (const auto &row : versions) {
        mumble_version_t v = row.get();
        EXPECT_EQ(v.major, row.expected.major) << row.name;
        EXPECT_EQ(v.minor, row.expected.minor) << row.name;
        EXPECT_EQ(v.patch, row.expected.patch) << row.name;
    }
    struct text_row {
        const char *name;
        MumbleStringWrapper (*get)();
        std::string expected;
    } texts[] = {
        {"mumble_getName", x.mumble_getName, "Quorvane Voice"},
        {"mumble_getAuthor", x.mumble_getAuthor, "Quorvane"},
        {"mumble_getDescription", x.mumble_getDescription,
         "Quorvane Voice " QV_VERSION_TEXT " - positional proximity voice for Quorvane (Saurwald)."},
    };
    for (const auto &row : texts) {
        MumbleStringWrapper w = row.get();
        EXPECT_EQ(w.size, row.expected.size()) << row.name;
        EXPECT_EQ(std::string(w.data, w.size), row.expected) << row.name;
        EXPECT_EQ(w.data[w.size], '\0') << row.name;
        EXPECT_FALSE(w.needsReleasing) << row.name;
    }
    EXPECT_EQ(x.mumble_getFeatures(), 2u);
    EXPECT_EQ(x.mumble_deactivateFeatures(2u), 0u);

    short in[4] = {1, 2, 3, 4};
    EXPECT_FALSE(x.mumble_onAudioInput(in, 2, 2, 48000, true));
    float out[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    EXPECT_FALSE(x.mumble_onAudioOutputAboutToPlay(out, 2, 2, 48000));
    EXPECT_EQ(in[3], 4);
    EXPECT_EQ(out[3], 0.5f);
    x.mumble_setMumbleInfo({1, 5, 0}, {1, 2, 0}, {1, 0, 0});
    x.mumble_releaseResource(nullptr);
    // Metadata never starts anything or logs.
    EXPECT_TRUE(host->logs().empty());
    EXPECT_FALSE(sandbox->exists("quorvane_voice.log"));
}

TEST_F(lifecycle, init_reports_success_and_the_loaded_configuration) {
    host->register_api();
    EXPECT_EQ(host->init(0x51), 0);
    auto logs = host->logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], loaded_notice(*sandbox, platform_word));
    EXPECT_EQ(host->log_plugin_ids().at(0), 0x51u);
    host->shutdown();
}

TEST_F(lifecycle, registration_is_a_copy_and_the_latest_table_wins) {
    // A null table registers nothing: the notice reaches the file only.
    host->register_table(nullptr);
    ASSERT_EQ(host->init(), 0);
    EXPECT_TRUE(host->logs().empty());
    EXPECT_NE(log_file().find("loaded version=" QV_VERSION_NUMBERS), std::string::npos);
    host->shutdown();

    // A table whose log slot is empty, replaced by the full one: the full one is used.
    mumble_api_table no_log = host->table();
    no_log.slots[api_slot_log] = nullptr;
    host->register_table(&no_log);
    host->register_api();  // a temporary, wiped after the call
    ASSERT_EQ(host->init(), 0);
    EXPECT_EQ(host->logs().size(), 1u);
    host->shutdown();

    host->register_table(&no_log);
    host->clear_logs();
    ASSERT_EQ(host->init(), 0);
    EXPECT_TRUE(host->logs().empty());
    host->shutdown();
}

TEST_F(lifecycle, workers_live_from_init_to_shutdown_and_restart_after_it) {
    std::string mark = sandbox->file("mark.txt").string();
    scoped_env mark_env("QUORVANE_VOICE_TEST_STALL_MARK", mark);
    host->register_api();
    for (const char *worker : {"falloff", "identity"}) {
        for (int round = 0; round < 2; ++round) {
            std::remove(mark.c_str());
            // Held for 2 s of plugin time (100 ms real), then asked whether
            // it still belongs to the running session.
            scoped_env stall("QUORVANE_VOICE_TEST_STALL", std::string(worker) + "=2000");
            ASSERT_EQ(host->init(), 0);
            ASSERT_TRUE(eventually([&] { return marked(); })) << worker << " round " << round;
            EXPECT_EQ(sandbox->read("mark.txt"), "current") << worker;
            host->shutdown();
        }
    }
}

TEST_F(lifecycle, a_worker_that_overruns_the_shutdown_wait_stays_out_of_the_next_session) {
    std::string mark = sandbox->file("mark.txt").string();
    scoped_env mark_env("QUORVANE_VOICE_TEST_STALL_MARK", mark);
    host->register_api();
    {
        // Held for 30 s of plugin time (1.5 s real), past a wait of 300 ms.
        scoped_env stall("QUORVANE_VOICE_TEST_STALL", "identity=30000");
        scoped_env stop_wait("QUORVANE_VOICE_TEST_STOP_WAIT_MS", "300");
        ASSERT_EQ(host->init(), 0);
        host->shutdown();
    }
    // Shutdown gave up on the held worker rather than waiting it out.
    EXPECT_FALSE(sandbox->exists("mark.txt"));

    host->clear_logs();
    ASSERT_EQ(host->init(), 0);  // a new session while the old worker is held
    ASSERT_TRUE(eventually([&] { return marked(); }, 10000));
    EXPECT_EQ(sandbox->read("mark.txt"), "stale");
    // The new session runs normally beside the departing worker.
    EXPECT_EQ(host->logs().size(), 1u);
    host->synchronize(-1);
    host->shutdown();
    EXPECT_EQ(host->logs().size(), 1u);
}

TEST_F(lifecycle, shutdown_without_workers_and_repeated_rounds_are_clean) {
    host->register_api();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(host->init(), 0);
        host->synchronize(-1);  // workers already running: nothing new, no log line
        host->synchronize(-1);
        host->shutdown();
    }
    EXPECT_EQ(host->logs().size(), 3u);
}

TEST_F(lifecycle, audio_after_shutdown_reaches_a_live_lock) {
    host->register_api();
    ASSERT_EQ(host->init(), 0);
    host->shutdown();
    float pcm[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    // Mumble may call once more after shutdown; it must not crash.
    host->audio(pcm, 2, 2, true, 1);
}

// The simulated host itself, as Mumble behaves: a host function called from a
// thread other than the main thread waits for the main thread, and fails with
// the time-out result when the main thread stays busy past 800 ms.
TEST_F(lifecycle, host_calls_from_other_threads_wait_for_the_main_thread) {
    auto log = reinterpret_cast<api_slot_type<api_slot_log>::type>(host->table().slots[api_slot_log]);
    mumble_error_t while_busy = -1;
    double waited_ms = 0;
    host->as_main_thread([&] {
        std::thread worker([&] {
            auto start = std::chrono::steady_clock::now();
            while_busy = log(0x51, "while busy");
            waited_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        });
        sleep_real_ms(1200);
        worker.join();
    });
    EXPECT_EQ(while_busy, mumble_error_api_request_timeout);
    EXPECT_GE(waited_ms, 700.0);
    EXPECT_EQ(host->main_thread_timeouts(), 1u);

    mumble_error_t while_free = -1;
    std::thread([&] { while_free = log(0x51, "while free"); }).join();
    EXPECT_EQ(while_free, 0);
    EXPECT_EQ(host->logs(), std::vector<std::string>{"while free"});
}

namespace {
// More rounds than the thread slots (16) could serve if each round lost one.
constexpr int rounds_beyond_the_slots = 17;
const std::string identity = "0123456789abcdef0123456789abcdef01234567";

std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }

size_t connected_notices(const std::vector<std::string> &logs) {
    size_t n = 0;
    for (const std::string &line : logs)
        if (line.find("connected to falloff") != std::string::npos) ++n;
    return n;
}

bool start_failed(const std::vector<std::string> &logs) {
    for (const std::string &line : logs)
        if (line.find("failed to start") != std::string::npos) return true;
    return false;
}
}  // namespace

TEST_F(lifecycle, an_init_without_a_shutdown_ends_the_running_session_first) {
    falloff_peer peer(peer_script{peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close(60000, answer_ping)});
    ASSERT_NE(peer.port(), 0);
    sandbox->write("quorvane_voice.ini",
                   "server_port=" + std::to_string(peer.port()) + "\napi_key=key-1\nreconnect_sec=1\n");
    host->register_api();
    host->set_local_user(1);
    host->set_users({{1, identity}});
    for (int round = 0; round < rounds_beyond_the_slots; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(host->init(), 0);
        if (round > 0) {
            // The previous session's falloff worker has closed its connection.
            EXPECT_TRUE(peer.wait_until_finished(static_cast<size_t>(round - 1), 5000));
            EXPECT_TRUE(peer.connection(static_cast<size_t>(round - 1)).client_closed);
        } else {
            // Later inits find the server synchronized and take it up themselves.
            host->synchronize(0);
        }
        ASSERT_TRUE(peer.wait_for_connections(static_cast<size_t>(round + 1), 15000));
        // The worker has told Mumble and is reading: the next init stops it
        // at once. (One still waiting for the main thread, which init holds,
        // would overrun the test's time-scaled shutdown wait.)
        ASSERT_TRUE(
            eventually([&] { return connected_notices(host->logs()) == static_cast<size_t>(round + 1); }, 15000));
    }
    EXPECT_FALSE(start_failed(host->logs()));
    host->shutdown();
    EXPECT_TRUE(peer.wait_until_finished(rounds_beyond_the_slots - 1, 5000));
    EXPECT_EQ(peer.connection_count(), static_cast<size_t>(rounds_beyond_the_slots));
    peer.stop();
    EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
}

TEST_F(lifecycle, a_worker_that_overran_its_shutdown_gives_its_slot_back_when_it_ends) {
    std::string mark = sandbox->file("mark.txt").string();
    scoped_env mark_env("QUORVANE_VOICE_TEST_STALL_MARK", mark);
    host->register_api();
    // Held for 12 s of plugin time (600 ms real): past a wait of 300 ms,
    // then it ends by itself.
    scoped_env stall("QUORVANE_VOICE_TEST_STALL", "identity=12000");
    scoped_env stop_wait("QUORVANE_VOICE_TEST_STOP_WAIT_MS", "300");
    for (int round = 0; round < rounds_beyond_the_slots; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(host->init(), 0);
        host->shutdown();
        ASSERT_FALSE(start_failed(host->logs()));
    }
    // A held worker, let go, finds its session over.
    ASSERT_TRUE(eventually([&] { return marked(); }, 10000));
    EXPECT_EQ(sandbox->read("mark.txt"), "stale");
    // And every one of them ends.
    EXPECT_TRUE(eventually([&] { return plugin_thread_count() == 0; }, 10000));
}
