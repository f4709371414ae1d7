// The lifecycle that Mumble drives through registerAPIFunctions, init and
// shutdown, and the start of the two workers.
#pragma once

#include <cstdint>

// Real milliseconds shutdown waits for each worker. Every wait of a worker
// is sliced and woken, so one ends within milliseconds; one that overruns
// (stuck in a system call) is left running detached: see worker_generation
// in the state record for how it is kept away from the state.
constexpr uint32_t worker_stop_wait_ms = 6000;

void register_api_functions(const void *table);
int32_t plugin_init(uint32_t id);
void plugin_shutdown();
// Starts both workers unless they run already.
void start_workers();
