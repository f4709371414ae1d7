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

// Opens a web address in the user's default browser; false when that failed.
// The development flavour appends the address to the file named by
// QUORVANE_VOICE_TEST_OPENER_LOG instead, when that is set (false when the
// file cannot be opened), so tests see what would have been opened.
bool flavour_open_url(const char *address);
