#include "identity_worker.h"

#include "../core/flavour.h"
#include "../core/plugin_state.h"

void identity_worker(void *arg) {
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    worker_thread_begin(generation);
    flavour_worker_started("identity", generation);
    while (worker_wait(generation, worker_slice_ms)) {
    }
}
