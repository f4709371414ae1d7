#include "server_events.h"

#include "plugin_state.h"

void on_server_synchronized(int32_t connection) {
    g_state.connection_id = connection;
    start_workers();
}

void on_server_disconnected() {}

void refresh_user_hashes() {}
