// How long the plugin's own waits keep a player's voices silenced, through
// the real library in the simulated host at real time, with the default
// reconnect_sec (8) and a falloff server on loopback:
//   join_to_hello  the plugin idle with no server; Mumble synchronizes; until
//                  the falloff server reads the plugin's HELLO
//   upgrade_gap    on the shared key, the talker listed and heard; the link
//                  delivers the credential; the longest time the talker is
//                  silenced while the legacy connection gives way to the
//                  token one (whose server lists the talker at once)
// `mean_ms` and `worst_ms` are over the iterations.
//   build/linux/bench/start_bench [--library PATH] [benchmark flags]
// --library loads another build of the development library (to compare).
#include "bench_web_peer.h"
#include "harness/falloff_peer.h"
#include "harness/mumble_host.h"
#include "harness/sample_player.h"
#include "harness/sandbox.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {
const std::string &identity = sample::identity;
const std::string talker = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1";
const std::string listed = "UPDATE2 " + talker + " 1 -1\n";
const std::string &credential = sample::credential;
const std::string &challenge = sample::challenge;
const std::string code = "K7QX-22";
constexpr int iterations = 5;
constexpr int wait_ms = 30000;
constexpr uint32_t talker_user = 2;
std::string other_library;

using clock_type = std::chrono::steady_clock;
double ms_between(clock_type::time_point a, clock_type::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }

// A fresh plugin folder, with the library asked for on the command line.
std::unique_ptr<plugin_sandbox> make_box(const std::string &ini) {
    auto box = std::make_unique<plugin_sandbox>();
    if (!other_library.empty())
        std::filesystem::copy_file(other_library, box->library(), std::filesystem::copy_options::overwrite_existing);
    box->write("quorvane_voice.ini", ini);
    return box;
}

void report(benchmark::State &state, double total, double worst, int count) {
    state.counters["mean_ms"] = count ? total / count : 0.0;
    state.counters["worst_ms"] = worst;
}

void join_to_hello(benchmark::State &state) {
    unset_env("QUORVANE_VOICE_TEST_TIME_SCALE");
    falloff_peer peer(peer_script{peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close(60000, answer_ping)});
    double total = 0, worst = 0;
    int count = 0;
    for (auto _ : state) {
        auto box = make_box("server_port=" + std::to_string(peer.port()) + "\napi_key=k\n");
        mumble_host host(box->library());
        host.register_api();
        host.set_local_user(1);
        host.set_users({{1, identity}});
        host.init();
        // The workers have looked once and found no server.
        sleep_real_ms(300);
        size_t index = peer.connection_count();
        auto joined = clock_type::now();
        host.synchronize(0);
        bool hello = peer.wait_for_lines(index, 1, wait_ms);
        double ms = ms_between(joined, clock_type::now());
        host.shutdown();
        if (!hello) {
            state.SkipWithError("no HELLO");
            break;
        }
        total += ms;
        worst = std::max(worst, ms);
        ++count;
    }
    report(state, total, worst, count);
}

void upgrade_gap(benchmark::State &state) {
    unset_env("QUORVANE_VOICE_TEST_TIME_SCALE");
    web_peer *web = bench_web_peer();
    if (!web) {
        state.SkipWithError("web peer not running");
        return;
    }
    web_peer_environment env(*web);
    const std::string status_path = "/api/voice/link/status?code=" + code;
    // Both the legacy and the token connection list the talker on accepting,
    // and a server thread lists them again ten times a second.
    falloff_peer peer([](size_t, const std::string &first) -> peer_script {
        if (first.rfind("HELLO2 ", 0) == 0)
            return {peer_send("CHALLENGE " + challenge + "\n"), peer_expect("AUTH "), peer_send("OK\n" + listed),
                    peer_wait_close(60000, answer_ping)};
        return {peer_send("OK\n" + listed), peer_wait_close(60000, answer_ping)};
    });
    std::atomic<bool> serving{true};
    std::thread ticker([&] {
        while (serving) {
            peer.push(listed);
            sleep_real_ms(100);
        }
    });
    double total = 0, worst = 0;
    int count = 0;
    for (auto _ : state) {
        web->reply("/api/voice/link/start", 201,
                   R"({"status":"pending","code":")" + code + R"(","secret":"s-1","approval_secret":"a-1"})");
        web->reply(status_path, 200, R"({"status":"pending"})");
        auto box = make_box("server_port=" + std::to_string(peer.port()) + "\napi_key=k\n");
        scoped_env opener("QUORVANE_VOICE_TEST_OPENER_LOG", box->file("opened.txt").string());
        mumble_host host(box->library());
        host.register_api();
        host.set_local_user(1);
        host.set_users({{1, identity}, {talker_user, talker}});
        size_t first = peer.connection_count();
        host.init();
        host.synchronize(0);

        // The audio callback probed with two-frame buffers every 0.1 ms, so a
        // gap shorter than one of Mumble's 10 ms buffers still shows; the
        // talker's silent runs are measured once the talker has been heard.
        std::atomic<bool> playing{true}, heard{false};
        std::atomic<double> longest{0};
        std::thread audio([&] {
            float pcm[4];
            clock_type::time_point silent_since{};
            bool silent = false;
            while (playing) {
                std::fill(pcm, pcm + 4, 1.0f);
                host.audio(pcm, 2, 2, true, talker_user);
                auto now = clock_type::now();
                bool audible = pcm[2] > 0.0f;
                if (audible) {
                    if (silent && heard) longest = std::max(longest.load(), ms_between(silent_since, now));
                    heard = true;
                    silent = false;
                } else if (!silent) {
                    silent = true;
                    silent_since = now;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        bool ok = eventually([&] { return heard.load(); }, wait_ms);
        // Linked while the legacy connection carries the voice.
        ok = ok && web->reply(status_path, 200, R"({"status":"linked","credential":")" + credential + R"("})");
        // The token connection has been accepted and listed the talker.
        ok = ok && peer.wait_for_lines(first + 1, 2, wait_ms);
        sleep_real_ms(500);
        playing = false;
        audio.join();
        host.shutdown();
        if (!ok) {
            state.SkipWithError("the upgrade did not happen");
            break;
        }
        total += longest;
        worst = std::max(worst, longest.load());
        ++count;
    }
    serving = false;
    ticker.join();
    report(state, total, worst, count);
}
}  // namespace

BENCHMARK(join_to_hello)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(upgrade_gap)->Unit(benchmark::kMillisecond)->Iterations(iterations);

int main(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--library") == 0) {
            other_library = argv[i + 1];
            for (int j = i; j + 2 <= argc; ++j)
                argv[j] = argv[j + 2];
            argc -= 2;
            break;
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench_web_peer_stop();
    return 0;
}
