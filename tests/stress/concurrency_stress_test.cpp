// Everything at once through the real library: audio callbacks on four
// threads, speaker lines streaming from the falloff peer as fast as the
// plugin takes them, and Mumble's server events on its main thread. Every
// buffer must end on a gain and pan that one sent entry held, or on silence.
#include "harness/falloff_peer.h"
#include "harness/host_fixture.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
const std::string identity = "0123456789abcdef0123456789abcdef01234567";
constexpr int audio_threads = 4;
// Real time the load runs (the whole test stays near 10 s).
constexpr int load_ms = 8000;
constexpr int settle_ms = 15000;
constexpr int synchronize_every_ms = 1000;

// Every entry sent is one of these pairs; the pans are a permutation of the
// gains' order, so an entry mixed from two pairs is a pair of neither. Both
// are exact in decimal and in float.
constexpr int pair_count = 16;
float pair_gain(int k) { return static_cast<float>(k + 1) / 16.0f; }
float pair_pan(int k) { return static_cast<float>((k * 7) % pair_count - 8) / 8.0f; }

// The users the audio asks about, with their certificate hashes, and other
// speakers that only fill the table (so a replacement has much to write).
const std::vector<std::pair<uint32_t, std::string>> heard_users = {{2, "AAAA"}, {3, "bbbb"}, {4, "cccc"}, {5, "dddd"}};
constexpr int filler_speakers = 60;

std::string decimal(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(v));
    return text;
}

// Line k gives speaker j the pair (k + j) mod 16; speakers come in an order
// that differs from line to line.
std::string update_line(int k) {
    std::vector<std::string> hashes;
    for (const auto &user : heard_users)
        hashes.push_back(user.second);
    for (int f = 0; f < filler_speakers; ++f)
        hashes.push_back("f" + std::to_string(f));
    std::string line = "UPDATE2";
    for (size_t j = 0; j < hashes.size(); ++j) {
        size_t at = (j * 5 + static_cast<size_t>(k)) % hashes.size();
        int pair = (k + static_cast<int>(at)) % pair_count;
        line += (j == 0 ? " " : ", ") + hashes[at] + " " + decimal(pair_gain(pair)) + " " + decimal(pair_pan(pair));
    }
    return line + "\n";
}

// What the audio path makes of a stereo pair of ones at gain g and pan p.
heard expected(float g, float p) { return {std::sqrt((1.0f - p) * 0.5f) * g, std::sqrt((1.0f + p) * 0.5f) * g}; }

bool near(float a, float b) { return std::fabs(a - b) < 1e-5f; }

// -1 for silence, the pair's index, or -2 for anything else.
int classify(heard h) {
    if (h.left == 0.0f && h.right == 0.0f) return -1;
    for (int k = 0; k < pair_count; ++k) {
        heard e = expected(pair_gain(k), pair_pan(k));
        if (near(h.left, e.left) && near(h.right, e.right)) return k;
    }
    return -2;
}

std::string answer_ping(const std::string &line) { return line == "PING" ? "OK\n" : ""; }
}  // namespace

class concurrency_stress : public host_test {};

TEST_F(concurrency_stress, audio_events_and_streaming_updates_never_see_a_torn_or_unsent_entry) {
    // About 12 MB of lines: more than the plugin takes in the time under the
    // sanitizers; natively it may run out and then waits for the close.
    std::string block;
    for (int k = 0; k < pair_count; ++k)
        block += update_line(k);
    std::string batch;
    while (batch.size() < 128 * 1024)
        batch += block;
    peer_script stream = {peer_expect("HELLO "), peer_send("OK\n")};
    for (int i = 0; i < 96; ++i)
        stream.push_back(peer_send(batch));
    stream.push_back(peer_wait_close(60000, answer_ping));
    falloff_peer peer(stream);  // every connection, also after a synchronize
    ASSERT_NE(peer.port(), 0);

    sandbox->write("quorvane_voice.ini",
                   "server_port=" + std::to_string(peer.port()) + "\napi_key=key-1\nreconnect_sec=1\ndebug_log=0\n");
    std::vector<host_user> users = {{1, identity}};
    for (const auto &user : heard_users)
        users.push_back({user.first, user.second});
    host->register_api();
    host->set_local_user(1);
    host->set_users(users);
    ASSERT_EQ(host->init(), 0);
    host->synchronize(0);
    ASSERT_TRUE(noticed(
        "connected to falloff 127.0.0.1:" + std::to_string(peer.port()) + " (migration compatibility, connection=1)",
        settle_ms));

    std::atomic<bool> stop{false};
    std::atomic<long> calls{0}, heard_calls{0}, bad_calls{0};
    std::atomic<uint32_t> pairs_seen{0};
    std::mutex first_bad_mutex;
    std::string first_bad;

    std::vector<std::thread> threads;
    for (int t = 0; t < audio_threads; ++t) {
        threads.emplace_back([&, t] {
            size_t next = static_cast<size_t>(t);
            while (!stop.load(std::memory_order_relaxed)) {
                uint32_t user = heard_users[next++ % heard_users.size()].first;
                float pcm[4] = {1.0f, 1.0f, 1.0f, 1.0f};
                host->audio(pcm, 2, 2, true, user);
                ++calls;
                // The buffer ends on the law's factors (a change glides in
                // over the frames before), so the last frame is what the
                // table held.
                int k = classify({pcm[2], pcm[3]});
                if (k >= 0) {
                    ++heard_calls;
                    pairs_seen.fetch_or(1u << k);
                } else if (k == -2) {
                    ++bad_calls;
                    std::lock_guard<std::mutex> hold(first_bad_mutex);
                    if (first_bad.empty())
                        first_bad = "user " + std::to_string(user) + ": " + std::to_string(pcm[0]) + " " +
                                    std::to_string(pcm[1]) + " " + std::to_string(pcm[2]) + " " +
                                    std::to_string(pcm[3]);
                }
            }
        });
    }
    long events = 0, synchronizes = 0;
    threads.emplace_back([&] {
        // Each wrapper runs as Mumble's main thread, one at a time; the
        // short pause leaves the main thread free now and then, as Mumble's
        // is, for the workers' notices. A synchronize ends the falloff
        // connection (the worker connects again and the stream restarts),
        // so it comes less often.
        auto next_synchronize = std::chrono::steady_clock::now();
        while (!stop.load(std::memory_order_relaxed)) {
            host->user_added(0, 6);
            host->channel_entered(0, 3, 0, 1);
            host->user_removed(0, 6);
            events += 3;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (std::chrono::steady_clock::now() >= next_synchronize) {
                host->synchronize(0);
                ++synchronizes;
                next_synchronize += std::chrono::milliseconds(synchronize_every_ms);
            }
        }
    });

    sleep_real_ms(load_ms);
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    host->shutdown();
    peer.stop();

    size_t distinct = 0;
    for (uint32_t bits = pairs_seen.load(); bits != 0; bits &= bits - 1)
        ++distinct;
    std::printf(
        "audio calls %ld (heard %ld, silent %ld), server events %ld (synchronize %ld), falloff connections "
        "%zu, distinct pairs heard %zu\n",
        calls.load(), heard_calls.load(), calls.load() - heard_calls.load() - bad_calls.load(), events, synchronizes,
        peer.connection_count(), distinct);
    EXPECT_EQ(bad_calls.load(), 0) << first_bad;
    EXPECT_GT(heard_calls.load(), 0) << "the stream never reached the audio";
    EXPECT_GT(distinct, 1u) << "the table did not change under the audio";
    EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
}
