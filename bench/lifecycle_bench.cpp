// How long mumble_shutdown takes in each state a worker can be in, through
// the real library in the simulated host (development flavour at real time).
// Each state is entered afresh per iteration; `worst_ms` is the longest
// shutdown of the run, the time column the mean.
//   build/linux/bench/lifecycle_bench
// The web-service states start the tests' web peer (tests/harness/web_peer.py)
// for the run.
#include "bench_web_peer.h"
#include "harness/falloff_peer.h"
#include "harness/full_queue.h"
#include "harness/mumble_host.h"
#include "harness/sandbox.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {
const std::string identity = "0123456789abcdef0123456789abcdef01234567";
const std::string code = "K7QX-22";
constexpr int iterations = 10;
constexpr int state_wait_ms = 20000;

std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }

bool log_has(const plugin_sandbox &box, const std::string &text) {
    return box.read("quorvane_voice.log").find(text) != std::string::npos;
}

bool host_noticed(const mumble_host &host, const std::string &text) {
    for (const std::string &line : host.logs())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

// One state: the ini to use (without server_port), the falloff port, and
// what shows the state has been reached (given the box and host).
struct state_setup {
    std::string ini;
    uint16_t port = 0;
    bool synchronize = true;
    std::function<bool(const plugin_sandbox &, const mumble_host &)> reached;
};

void measure(benchmark::State &state, const std::function<state_setup()> &prepare) {
    unset_env("QUORVANE_VOICE_TEST_TIME_SCALE");
    double worst = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        state_setup setup = prepare();
        plugin_sandbox box;
        scoped_env opener("QUORVANE_VOICE_TEST_OPENER_LOG", box.file("opened.txt").string());
        box.write("quorvane_voice.ini", "server_port=" + std::to_string(setup.port) + "\n" + setup.ini);
        mumble_host host(box.library());
        host.register_api();
        host.set_local_user(1);
        host.set_users({{1, identity}});
        host.init();
        if (setup.synchronize) host.synchronize(0);
        bool reached = eventually([&] { return setup.reached(box, host); }, state_wait_ms);
        if (!reached) {
            host.shutdown();
            state.SkipWithError("the state was not reached");
            break;
        }
        sleep_real_ms(300);  // settled in the state
        auto begun = std::chrono::steady_clock::now();
        state.ResumeTiming();
        host.shutdown();
        state.PauseTiming();
        worst = std::max(worst,
                         std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count());
        state.ResumeTiming();
    }
    state.counters["worst_ms"] = worst;
}

void idle(benchmark::State &state) {
    measure(state, [] {
        state_setup s;
        s.synchronize = false;  // no identity: both workers wait
        s.reached = [](const plugin_sandbox &box, const mumble_host &) { return log_has(box, "loaded version"); };
        return s;
    });
}

void connecting_to_a_full_queue(benchmark::State &state) {
    full_queue_port busy;
    if (!busy.ok()) {
        state.SkipWithError("could not fill an accept queue");
        return;
    }
    measure(state, [&] {
        state_setup s;
        s.ini = "api_key=k\nreconnect_sec=1\n";
        s.port = busy.port();
        s.reached = [](const plugin_sandbox &box, const mumble_host &) {
            return log_has(box, "falloff_connect_attempt");
        };
        return s;
    });
}

void handshake(benchmark::State &state) {
    falloff_peer peer(peer_script{peer_expect("HELLO "), peer_wait_close(60000)});
    measure(state, [&] {
        state_setup s;
        s.ini = "api_key=k\nreconnect_sec=1\n";
        s.port = peer.port();
        size_t before = peer.connection_count();
        s.reached = [&peer, before](const plugin_sandbox &, const mumble_host &) {
            return peer.connection_count() > before && !peer.lines(before).empty();
        };
        return s;
    });
}

void connected(benchmark::State &state) {
    falloff_peer peer(peer_script{peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close(60000, answer_ping)});
    measure(state, [&] {
        state_setup s;
        s.ini = "api_key=k\nreconnect_sec=1\n";
        s.port = peer.port();
        s.reached = [](const plugin_sandbox &, const mumble_host &host) {
            return host_noticed(host, "connected to falloff");
        };
        return s;
    });
}

void back_off(benchmark::State &state) {
    refused_port refused;
    measure(state, [&] {
        state_setup s;
        s.ini = "api_key=k\nreconnect_sec=60\n";
        s.port = refused.port();
        s.reached = [](const plugin_sandbox &box, const mumble_host &) { return log_has(box, "falloff_connect_fail"); };
        return s;
    });
}

// The identity worker against the web peer: the link is started and then
// polled; `status_delay_ms` holds each poll's reply.
void identity_state(benchmark::State &state, int status_delay_ms) {
    web_peer *peer = bench_web_peer();
    if (!peer) {
        state.SkipWithError("web peer not running");
        return;
    }
    web_peer_environment env(*peer);
    peer->reply("/api/voice/link/start", 201,
                R"({"status":"pending","code":")" + code + R"(","secret":"s-1","approval_secret":"a-1"})");
    peer->reply("/api/voice/link/status?code=" + code, 200, R"({"status":"pending"})", status_delay_ms);
    refused_port refused;  // the falloff worker has no credential and no key: it waits
    measure(state, [&] {
        state_setup s;
        s.port = refused.port();
        size_t before = peer->requests().size();
        // A poll has gone out (with a delayed reply: it is in flight).
        s.reached = [peer, before](const plugin_sandbox &, const mumble_host &) {
            std::vector<web_request> requests = peer->requests();
            for (size_t i = before; i < requests.size(); ++i)
                if (requests[i].path.rfind("/api/voice/link/status", 0) == 0) return true;
            return false;
        };
        return s;
    });
}

void polling(benchmark::State &state) { identity_state(state, 0); }
void request_in_flight(benchmark::State &state) { identity_state(state, 60000); }
}  // namespace

BENCHMARK(idle)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(connecting_to_a_full_queue)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(handshake)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(connected)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(back_off)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(polling)->Unit(benchmark::kMillisecond)->Iterations(iterations);
BENCHMARK(request_in_flight)->Unit(benchmark::kMillisecond)->Iterations(iterations);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench_web_peer_stop();
    return 0;
}
