// What differs between the shipped library and the development flavour used
// by the tests and the demo. The shipped flavour does nothing here.
#pragma once

#include <cstdint>

// Called first in init: the development flavour reads its test settings
// (time scale, worker stall) from the environment.
void flavour_configure();

// Test hook: a worker started under `generation` may be held here, deaf to
// shutdown, to exercise a worker that overruns the shutdown wait.
void flavour_worker_started(const char *worker, uint32_t generation);

// Test hook, called by the falloff worker between its waits: the
// development flavour applies a speaker line that a test has left in the
// plugin folder, until the falloff link delivers real ones.
void flavour_falloff_idle();
