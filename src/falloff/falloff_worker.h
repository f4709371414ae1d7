// The falloff worker: keeps the connection to the falloff server, answers
// its PING, feeds its speaker lines to the speaker table, logs every
// connection end, and tells the player once per outage that proximity voice
// is paused.
#pragma once

#include <cstdint>

// Thread body; arg carries the worker generation.
void falloff_worker(void *arg);

// Ends the current falloff connection as the plugin's own doing, logged with
// `reason` (a string literal): the socket is shut down (the worker closes it)
// and the worker tells the player of no outage and owes no pause for it.
// For a host event; the caller holds the lock.
void end_falloff_connection_as_own(const char *reason);

// The plugin's keepalive and the legacy connection's credential check.
constexpr uint32_t keepalive_interval_ms = 20000;
constexpr uint32_t credential_check_interval_ms = 4000;
