// Cost of one audio callback against a full table: 512 users and 512
// speakers with the sought user last, 480 stereo frames (10 ms at 48 kHz),
// next to a bare in-place stereo gain loop over the same buffer.
//   build/linux/bench/audio_bench
#include "audio/spatial_audio.h"
#include "core/plugin_state.h"
#include "core/text.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
constexpr uint32_t frames = 480;

void fill_tables() {
    state_lock_setup();
    g_state.enabled = 1;
    g_state.debug_log = 0;
    static user_hash_entry users[max_user_hashes];
    for (size_t i = 0; i < max_user_hashes; ++i) {
        users[i].user_id = static_cast<uint32_t>(1000 + i);
        std::snprintf(users[i].hash, hash_size, "%040zx", i);
    }
    publish_user_hashes(users, max_user_hashes);
    // 512 certificate hashes do not fit one server line, so the table is
    // filled as the speaker update fills it: upper case, so that matches go
    // through case folding, with the digest beside each entry.
    state_lock_enter();
    for (size_t i = 0; i < max_speakers; ++i) {
        speaker_entry &e = g_state.speaker_table[i];
        std::snprintf(e.hash, hash_size, "%040zX", i);
        e.gain = 0.5f;
        e.pan = 0.25f;
        g_state.speaker_digest[i] = case_fold_digest(e.hash);
    }
    g_state.speaker_count = max_speakers;
    state_lock_leave();
}

void audio_callback(benchmark::State &state) {
    fill_tables();
    std::vector<float> pcm(frames * 2, 0.5f);
    const uint32_t last_user = static_cast<uint32_t>(1000 + max_user_hashes - 1);
    // Measure the path that finds the user, not the early silence.
    process_audio_source(pcm.data(), frames, 2, 48000, true, last_user);
    if (pcm[0] == 0.0f) {
        state.SkipWithError("the sought user was silenced");
        return;
    }
    for (auto _ : state) {
        process_audio_source(pcm.data(), frames, 2, 48000, true, last_user);
        benchmark::DoNotOptimize(pcm.data());
        benchmark::ClobberMemory();
        pcm[0] = 0.5f;  // keep the values from decaying to denormals
        pcm[1] = 0.5f;
    }
}

void bare_gain_loop(benchmark::State &state) {
    std::vector<float> pcm(frames * 2, 0.5f);
    float left = 0.6f, right = 0.4f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(left);
        benchmark::DoNotOptimize(right);
        for (uint32_t f = 0; f < frames; ++f) {
            pcm[2 * f] *= left;
            pcm[2 * f + 1] *= right;
        }
        benchmark::DoNotOptimize(pcm.data());
        benchmark::ClobberMemory();
        pcm[0] = 0.5f;
        pcm[1] = 0.5f;
    }
}
}  // namespace

BENCHMARK(audio_callback);
BENCHMARK(bare_gain_loop);

namespace {
// Prints as usual and keeps each run's time per iteration for the ratio.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            double ns = run.GetAdjustedRealTime();
            if (run.benchmark_name() == "audio_callback") callback_ns = ns;
            if (run.benchmark_name() == "bare_gain_loop") bare_ns = ns;
        }
    }
    double callback_ns = 0, bare_ns = 0;
};
}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.callback_ns > 0 && reporter.bare_ns > 0)
        std::printf("audio callback / bare gain loop = %.2f\n", reporter.callback_ns / reporter.bare_ns);
    benchmark::Shutdown();
    return 0;
}
