// The falloff worker: keeps the connection to the falloff server, answers
// its PING, feeds its speaker lines to the speaker table, logs every
// connection end, and tells the player once per outage that proximity voice
// is paused.
#pragma once

#include <cstdint>

// Thread body; arg carries the worker generation.
void falloff_worker(void *arg);

// Marks the falloff connection's coming end as the plugin's own, logged
// with `reason` (a string literal): called by a host event before it shuts
// the socket down, so that the worker tells the player of no outage.
void falloff_end_is_own(const char *reason);

// The plugin's keepalive and the legacy connection's credential check.
constexpr uint32_t keepalive_interval_ms = 20000;
constexpr uint32_t credential_check_interval_ms = 4000;
