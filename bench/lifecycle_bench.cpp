// How long mumble_shutdown takes while both workers idle, through the real
// library in the simulated host (development flavour at real time).
//   build/linux/bench/lifecycle_bench
#include "harness/mumble_host.h"
#include "harness/sandbox.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace {
void shutdown_with_idle_workers(benchmark::State &state) {
    unset_env("QUORVANE_VOICE_TEST_TIME_SCALE");
    plugin_sandbox box;
    mumble_host host(box.library());
    if (!host.loaded()) {
        state.SkipWithError("library did not load");
        return;
    }
    host.register_api();
    for (auto _ : state) {
        state.PauseTiming();
        host.init();
        // Let both workers settle into their waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        state.ResumeTiming();
        host.shutdown();
    }
}
}  // namespace

BENCHMARK(shutdown_with_idle_workers)->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
