// What differs between the shipped library and the development flavour used
// by the tests and the demo. The shipped flavour does nothing here.
#pragma once

#include <cstddef>
#include <cstdint>

// Called first in init: the development flavour reads its test settings
// (time scale, worker stall) from the environment.
void flavour_configure();

// Test hook: a worker started under `generation` may be held here, deaf to
// shutdown, to exercise a worker that overruns the shutdown wait.
void flavour_worker_started(const char *worker, uint32_t generation);

// How long shutdown waits for each worker to end, in real milliseconds:
// `standard_ms` in the shipped library. The development flavour takes
// QUORVANE_VOICE_TEST_STOP_WAIT_MS instead when it is set, for the tests of a
// worker that overruns the wait (held at its start by the stall setting).
uint32_t flavour_worker_stop_wait_ms(uint32_t standard_ms);

// Opens a web address in the user's default browser; false when that failed.
// The development flavour appends the address to the file named by
// QUORVANE_VOICE_TEST_OPENER_LOG instead, when that is set (false when the
// file cannot be opened), so tests see what would have been opened.
bool flavour_open_url(const char *address);

// Where the web service is reached. The shipped flavour: the built-in web
// host on port 443, trusted by the system's store alone. The development
// flavour takes QUORVANE_VOICE_TEST_WEB_HOST, _WEB_PORT and _WEB_CA (a PEM
// file of one more trust anchor) from the environment when they are set.
// Read into the caller's record on the calling thread, so a request never
// shares these texts with an init that runs meanwhile.
constexpr size_t web_host_size = 256;
constexpr size_t web_ca_path_size = 1024;
constexpr uint16_t web_https_port = 443;
struct web_endpoint {
    char host[web_host_size];
    uint16_t port;
    char extra_ca_file[web_ca_path_size];  // empty: none
};
void flavour_web_endpoint(web_endpoint *out);
