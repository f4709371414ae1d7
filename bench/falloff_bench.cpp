// The falloff link's two costs that matter to the audio:
//   apply_full_update2_line   one full 8190-character UPDATE2 line applied:
//                             the time the lock is held against the audio
//   server_line_to_audio      from a server's UPDATE2 line leaving a loopback
//                             socket to the audio callback of the real
//                             library (in the simulated host) using its gain
//   build/linux/bench/falloff_bench
#include "core/plugin_state.h"
#include "falloff/speaker_update.h"
#include "harness/mumble_host.h"
#include "harness/sandbox.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
const std::string identity = "0123456789abcdef0123456789abcdef01234567";

// UPDATE2 pieces of 40-digit certificate hashes up to the line limit.
std::string full_update2_line(size_t *speakers) {
    std::string line = "UPDATE2";
    for (size_t i = 0;; ++i) {
        char piece[96];
        std::snprintf(piece, sizeof piece, "%s%040zX 0.%03zu -0.%03zu", i ? "," : " ", i, i % 1000, (i * 7) % 1000);
        if (line.size() + std::strlen(piece) > speaker_line_max) break;
        line += piece;
        *speakers = i + 1;
    }
    return line;
}

void apply_full_update2_line(benchmark::State &state) {
    state_lock_setup();
    g_state.debug_log = 0;
    size_t speakers = 0;
    std::string line = full_update2_line(&speakers);
    for (auto _ : state) {
        apply_speaker_update(line.c_str());
        benchmark::ClobberMemory();
    }
    state.counters["speakers"] = static_cast<double>(speakers);
    state.counters["line_chars"] = static_cast<double>(line.size());
}

// A minimal falloff server: accepts the plugin's HELLO and then writes
// whatever the benchmark sends.
struct loopback_server {
    int listener = -1;
    int client = -1;
    uint16_t port = 0;

    loopback_server() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length) != 0 || listen(listener, 4) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~loopback_server() {
        if (client >= 0) close(client);
        if (listener >= 0) close(listener);
    }
    bool accept_hello() {
        client = accept(listener, nullptr, nullptr);
        if (client < 0) return false;
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char c = 0;
        while (recv(client, &c, 1, 0) == 1 && c != '\n') {
        }
        return send_line("OK\n");
    }
    bool send_line(const std::string &text) const {
        return send(client, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
};

void server_line_to_audio(benchmark::State &state) {
    unset_env("QUORVANE_VOICE_TEST_TIME_SCALE");
    loopback_server server;
    plugin_sandbox box;
    box.write("quorvane_voice.ini",
              "debug_log=0\napi_key=bench\nreconnect_sec=1\nserver_port=" + std::to_string(server.port) + "\n");
    mumble_host host(box.library());
    if (!host.loaded() || server.port == 0) {
        state.SkipWithError("library or server not ready");
        return;
    }
    host.register_api();
    host.set_local_user(1);
    host.set_users({{1, identity}, {2, std::string("speaker-two")}});
    host.init();
    host.synchronize(0);
    if (!server.accept_hello()) {
        state.SkipWithError("the plugin did not connect");
        host.shutdown();
        return;
    }
    int step = 0;
    for (auto _ : state) {
        // A gain the previous line did not have, so its arrival shows.
        step = step % 9 + 1;
        float gain = static_cast<float>(step) / 10.0f;
        char line[64];
        std::snprintf(line, sizeof line, "UPDATE2 speaker-two %.1f -1\n", static_cast<double>(gain));
        auto start = std::chrono::steady_clock::now();
        if (!server.send_line(line)) {
            state.SkipWithError("send failed");
            break;
        }
        for (;;) {
            float pcm[2] = {1.0f, 1.0f};
            host.audio(pcm, 1, 2, true, 2);
            if (pcm[0] > gain - 0.01f && pcm[0] < gain + 0.01f) break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    host.shutdown();
}
}  // namespace

BENCHMARK(apply_full_update2_line)->Unit(benchmark::kMicrosecond);
BENCHMARK(server_line_to_audio)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

BENCHMARK_MAIN();
