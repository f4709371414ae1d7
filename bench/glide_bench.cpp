// What the glide does to a moving voice: a voice-like signal (harmonics
// below 2 kHz) plays through the real library in the simulated host while
// the listener walks past its speaker, the falloff server sending the new
// gain and pan ten times a second, once with smooth_transitions on and once
// off. Everything above 4 kHz in the output is artefact; the figure is its
// energy relative to the voice.
//   build/linux/bench/glide_bench
#include "harness/falloff_peer.h"
#include "harness/mumble_host.h"
#include "harness/sandbox.h"
#include "high_band.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {
constexpr uint32_t sample_rate = 48000;
constexpr uint32_t frames_per_buffer = 480;
constexpr uint16_t channels = 2;
constexpr int buffers_per_update = 10;  // ten updates a second
constexpr double artefact_above_hz = 4000.0;
constexpr double required_cut_db = 20.0;

// The walk: along x from -walk_half to +walk_half at walk_speed, passing the
// speaker at lateral_m; full gain within near_m, none beyond range_m.
constexpr double walk_half_m = 25.0, walk_speed_mps = 2.5, lateral_m = 2.0;
constexpr double near_m = 2.0, range_m = 20.0;

constexpr double f0_hz = 147.0, voice_top_hz = 2000.0, voice_level = 0.2, syllables_hz = 3.3;

const std::string identity = "0123456789abcdef0123456789abcdef01234567";
constexpr mumble_userid_t speaker_id = 2;

double voice(uint64_t n) {
    const double t = static_cast<double>(n) / sample_rate;
    const double s = std::sin(std::numbers::pi * syllables_hz * t);
    double sum = 0.0;
    for (int k = 1; k * f0_hz < voice_top_hz; ++k)
        sum += std::sin(2.0 * std::numbers::pi * k * f0_hz * t + 0.7 * k) / k;
    return voice_level * (0.3 + 0.7 * s * s) * sum;
}

std::string update_at(double seconds) {
    const double x = -walk_half_m + walk_speed_mps * seconds;
    const double distance = std::hypot(x, lateral_m);
    const double gain = std::clamp(1.0 - (distance - near_m) / (range_m - near_m), 0.0, 1.0);
    const double pan = std::clamp(-x / distance, -1.0, 1.0);
    char line[96];
    std::snprintf(line, sizeof line, "UPDATE2 speaker-two %.4f %.4f\n", gain, pan);
    return line;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

template <typename Pred>
bool wait_for(Pred done, int ms) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (done()) return true;
    return done();
}

// The walk's output through the library; empty when the session failed.
std::vector<float> walk_past(bool smooth) {
    unset_env("QUORVANE_VOICE_TEST_TIME_SCALE");
    falloff_peer peer({peer_expect("HELLO "), peer_send("OK\n"), peer_wait_close(600000)});
    plugin_sandbox box;
    box.write("quorvane_voice.ini",
              "debug_log=1\napi_key=bench\nreconnect_sec=1\nserver_port=" + std::to_string(peer.port()) +
                  "\nsmooth_transitions=" + (smooth ? "1" : "0") + "\n");
    mumble_host host(box.library());
    if (!host.loaded() || peer.port() == 0) return {};
    host.register_api();
    host.set_local_user(1);
    host.set_users({{1, identity}, {speaker_id, std::string("speaker-two")}});
    host.init();
    host.synchronize(0);
    auto log = [&] { return box.read("quorvane_voice.log"); };
    std::vector<float> out;
    if (wait_for([&] { return log().find("connected to falloff") != std::string::npos; }, 15000)) {
        const int updates = static_cast<int>(2.0 * walk_half_m / walk_speed_mps * 10.0);
        std::vector<float> pcm(frames_per_buffer * channels);
        uint64_t frame = 0;
        for (int u = 0; u <= updates; ++u) {
            peer.push(update_at(u / 10.0));
            if (!wait_for([&] { return count_of(log(), "received UPDATE2") > static_cast<size_t>(u); }, 15000)) {
                out.clear();
                break;
            }
            for (int b = 0; b < buffers_per_update; ++b) {
                for (uint32_t f = 0; f < frames_per_buffer; ++f, ++frame)
                    pcm[f * channels] = pcm[f * channels + 1] = static_cast<float>(voice(frame));
                host.audio(pcm.data(), frames_per_buffer, channels, true, speaker_id);
                out.insert(out.end(), pcm.begin(), pcm.end());
            }
        }
    }
    host.shutdown();
    return out;
}
}  // namespace

int main() {
    std::vector<float> on = walk_past(true), off = walk_past(false);
    if (on.empty() || off.empty() || on.size() != off.size()) {
        std::printf("the session failed: the plugin did not connect or took no update\n");
        return 1;
    }
    std::vector<float> dry;
    for (uint64_t n = 0; n < on.size() / channels; ++n)
        dry.insert(dry.end(), channels, static_cast<float>(voice(n)));
    const double with_glide = high_band::ratio_db(on, channels, sample_rate, artefact_above_hz);
    const double without = high_band::ratio_db(off, channels, sample_rate, artefact_above_hz);
    const double floor = high_band::ratio_db(dry, channels, sample_rate, artefact_above_hz);
    std::printf("walk past a speaker: %.0f s, %.0f updates a second, voice harmonics below %.0f Hz\n",
                static_cast<double>(on.size() / channels) / sample_rate, 10.0, voice_top_hz);
    std::printf("energy above %.0f Hz relative to the voice:\n", artefact_above_hz);
    std::printf("  smooth_transitions = 0   %7.1f dB\n", without);
    std::printf("  smooth_transitions = 1   %7.1f dB\n", with_glide);
    std::printf("  the voice alone          %7.1f dB (the measure's floor)\n", floor);
    const double cut = without - with_glide;
    std::printf("the glide cuts the artefacts by %.1f dB (at least %.0f dB wanted: %s)\n", cut, required_cut_db,
                cut >= required_cut_db ? "met" : "NOT met");
    return 0;
}
