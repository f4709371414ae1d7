#include "lifecycle.h"

#include "../core/configuration.h"
#include "../core/flavour.h"
#include "../core/logging.h"
#include "../core/plugin_state.h"
#include "../falloff/falloff_worker.h"
#include "../identity/credential_store.h"
#include "../identity/https_client.h"
#include "../identity/identity_worker.h"
#include "server_events.h"

#include <cstring>

namespace {
void *generation_arg(uint32_t generation) { return reinterpret_cast<void *>(static_cast<uintptr_t>(generation)); }

void stop_thread(platform_thread &thread) {
    if (!thread) return;
    // An overrun is not reported.
    platform_thread_wait(thread, flavour_worker_stop_wait_ms(worker_stop_wait_ms));
    platform_thread_close(thread);
    thread = nullptr;
}
}  // namespace

void register_api_functions(const void *table) {
    if (!table) return;
    std::memcpy(&g_state.api_table, table, sizeof g_state.api_table);
    g_state.api_registered = 1;
}

int32_t plugin_init(uint32_t id) {
    // An init without a shutdown before it: end that session first, so its
    // workers stop and their thread slots come back instead of running on
    // unowned beside the new ones.
    if (g_state.lock_ready == 1) plugin_shutdown();
    flavour_configure();
    g_state.plugin_id = id;
    state_lock_setup();
    g_state.lock_ready = 1;

    configuration_load();
    // Before any worker can start a save of its own.
    credential_delete_leftovers(g_state.plugin_dir, token_file_name);
    credential_read_token_file(g_state.token_path);

    if (platform_network_startup()) {
        g_state.network_ready = 1;
    } else {
        log_debug("network startup failed");
    }
    configuration_report();
    // Its global set-up is not safe to race with: done before any worker.
    http_client_init();
    if (g_state.network_ready == 1) start_workers();
    g_state.session_active.store(true, std::memory_order_release);
    // Enabled, reloaded or updated while on a server: Mumble sends no event
    // for that server, so the plugin asks.
    adopt_active_connection();
    return 0;
}

void start_workers() {
    if (is_running()) return;
    g_state.running.exchange(1);
    uint32_t generation = g_state.worker_generation.load();

    if (!platform_thread_start(&g_state.falloff_thread, falloff_worker, generation_arg(generation), "qv-falloff")) {
        g_state.running.exchange(0);
        log_notice("failed to start falloff worker");
        // With running at 0 an identity worker would end at once; leave it out.
        return;
    }
    if (!platform_thread_start(&g_state.identity_thread, identity_worker, generation_arg(generation), "qv-identity"))
        log_notice("failed to start identity worker");
}

void plugin_shutdown() {
    // A voice that Mumble still hands over from here on plays as it came:
    // a disabled plugin changes nothing.
    g_state.session_active.store(false, std::memory_order_release);
    int32_t was = g_state.running.exchange(0);
    if (was == 1) {
        // Every worker's wait looks at running now.
        workers_wake();
        state_lock_enter();
        platform_socket_shutdown(g_state.falloff_socket);
        state_lock_leave();
        // A worker blocked in a web request would otherwise hold the wait
        // below for the request's whole time-outs.
        http_abandon_worker_requests();
    }
    // Also when running was already 0 (a worker that failed to start):
    // every handle given up returns its thread slot once the thread ends.
    stop_thread(g_state.falloff_thread);
    stop_thread(g_state.identity_thread);
    if (g_state.lock_ready == 1) {
        state_lock_enter();
        // A worker still running now has overrun its wait: from here on it
        // belongs to an ended session and leaves the state alone, even if it
        // wakes after a later init.
        g_state.worker_generation.fetch_add(1);
        // Such a worker can no longer unpublish its socket; it closes it
        // itself once its receive gives up.
        g_state.falloff_socket = platform_invalid_socket;
        forget_server();
        state_lock_leave();
    }
    if (g_state.network_ready == 1) {
        platform_network_cleanup();
        g_state.network_ready = 0;
    }
    g_state.lock_ready = 0;
}
