#include "falloff_worker.h"

#include "../core/flavour.h"
#include "../core/plugin_state.h"

void falloff_worker(void *arg) {
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    worker_thread_begin(generation);
    flavour_worker_started("falloff", generation);
    while (worker_wait(generation, worker_slice_ms)) {
    }
}
