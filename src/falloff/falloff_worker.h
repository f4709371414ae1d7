// The falloff worker: keeps the connection to the falloff server, answers
// its PING, feeds its speaker lines to the speaker table, and logs every
// connection end.
#pragma once

#include <cstdint>

// Thread body; arg carries the worker generation.
void falloff_worker(void *arg);

// The plugin's keepalive and the legacy connection's credential check.
constexpr uint32_t keepalive_interval_ms = 20000;
constexpr uint32_t credential_check_interval_ms = 4000;
