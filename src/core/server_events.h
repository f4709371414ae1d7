// Mumble's server events: identity, user hash table, disconnect.
#pragma once

#include <cstdint>

void on_server_synchronized(int32_t connection);
void on_server_disconnected();
void refresh_user_hashes();
