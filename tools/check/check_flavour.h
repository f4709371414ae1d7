// Where the checker's web requests go: set once from the command line,
// before any request.
#pragma once

#include <cstdint>

// extra_ca_file: a PEM file of one more trust anchor, or null (Linux only;
// Windows trusts its Root store alone).
void check_set_web_endpoint(const char *host, uint16_t port, const char *extra_ca_file);
