// Cost of one audio callback against full tables: 512 users and 512
// speakers with the sought user last, 480 stereo frames (10 ms at 48 kHz),
// next to a bare in-place stereo gain loop over the same buffer.
//   worst case   before each buffer the user's speaker entry trades places
//                with its neighbour and so changes gain and pan: the
//                remembered speaker position misses, the whole table is
//                searched, and all 480 frames glide
//   steady case  the same speaker at the same gain buffer after buffer
//   build/linux/bench/audio_bench
#include "audio/spatial_audio.h"
#include "core/plugin_state.h"
#include "core/text.h"

#include <benchmark/benchmark.h>
#include <pmmintrin.h>
#include <xmmintrin.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {
constexpr uint32_t frames = 480;

void fill_tables() {
    state_lock_setup();
    // As between init and shutdown.
    g_state.session_active.store(true);
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

constexpr uint32_t last_user = static_cast<uint32_t>(1000 + max_user_hashes - 1);

// Swaps the last two speaker entries (the sought user's and its neighbour,
// at different gains and pans) as a speaker update would move them.
void swap_last_speakers() {
    state_lock_enter();
    std::swap(g_state.speaker_table[max_speakers - 1], g_state.speaker_table[max_speakers - 2]);
    std::swap(g_state.speaker_digest[max_speakers - 1], g_state.speaker_digest[max_speakers - 2]);
    state_lock_leave();
}

void run_callback(benchmark::State &state, bool moving) {
    fill_tables();
    forget_applied_factors();
    state_lock_enter();
    g_state.speaker_table[max_speakers - 2].gain = 0.25f;
    g_state.speaker_table[max_speakers - 2].pan = -0.5f;
    state_lock_leave();
    std::vector<float> pcm(frames * 2, 0.5f);
    // Measure the path that finds the user, not the early silence.
    process_audio_source(pcm.data(), frames, 2, 48000, true, last_user);
    if (pcm[2 * frames - 1] == 0.0f) {
        state.SkipWithError("the sought user was silenced");
        return;
    }
    for (auto _ : state) {
        if (moving) swap_last_speakers();
        process_audio_source(pcm.data(), frames, 2, 48000, true, last_user);
        benchmark::DoNotOptimize(pcm.data());
        benchmark::ClobberMemory();
    }
}

void audio_callback_worst(benchmark::State &state) { run_callback(state, true); }
void audio_callback_steady(benchmark::State &state) { run_callback(state, false); }

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
    }
}
}  // namespace

BENCHMARK(audio_callback_worst);
BENCHMARK(audio_callback_steady);
BENCHMARK(bare_gain_loop);

namespace {
// Prints as usual and keeps each run's time per iteration for the ratio.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            // CPU time: on a shared machine the wall time also counts the
            // other programs' turns.
            double ns = run.GetAdjustedCPUTime();
            if (run.benchmark_name() == "audio_callback_worst") worst_ns = ns;
            if (run.benchmark_name() == "audio_callback_steady") steady_ns = ns;
            if (run.benchmark_name() == "bare_gain_loop") bare_ns = ns;
        }
    }
    double worst_ns = 0, steady_ns = 0, bare_ns = 0;
};
}  // namespace

int main(int argc, char **argv) {
    // The buffers are scaled again and again and would decay into denormals,
    // whose arithmetic is many times slower; audio programs flush them to zero.
    _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
    _MM_SET_DENORMALS_ZERO_MODE(_MM_DENORMALS_ZERO_ON);
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.bare_ns > 0) {
        if (reporter.worst_ns > 0)
            std::printf("audio callback, worst case / bare gain loop = %.2f\n", reporter.worst_ns / reporter.bare_ns);
        if (reporter.steady_ns > 0)
            std::printf("audio callback, steady case / bare gain loop = %.2f\n", reporter.steady_ns / reporter.bare_ns);
    }
    benchmark::Shutdown();
    return 0;
}
