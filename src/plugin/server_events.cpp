// Mumble's server events. All but the disconnect arrive on the host's main
// thread; the disconnect comes on the host's connection thread, just before
// the host drops the connection. Host calls, file access and log lines stay
// outside the state lock, which is held only for the socket shutdown and the
// short copies into and out of the state.
#include "server_events.h"

#include "../core/logging.h"
#include "../core/plugin_state.h"
#include "../core/text.h"
#include "../falloff/falloff_worker.h"
#include "build_info.h"
#include "lifecycle.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr const char *announcement_rule = "----------------------------------------------------";
constexpr int announced_identity_chars = 8;

// Built without the lock and published whole, so the audio thread sees the
// old table or the new one. Only the host's event thread refreshes, so one
// static scratch table serves (and keeps 66 KB off that thread's stack).
user_hash_entry scratch_user_hashes[max_user_hashes];

// The last talking-triggered rebuild for each of a few ids that were missing
// from the table, so a user whose hash never comes costs at most one rebuild a
// second. Only the host's main thread touches it (so a disconnect, which
// comes on another thread, leaves it alone; synchronize starts it afresh).
struct talking_refresh {
    uint32_t user_id;
    uint32_t at_ms;
    bool used;
};
constexpr size_t talking_refresh_slots = 16;
talking_refresh recent_talking_refreshes[talking_refresh_slots] = {};

void forget_talking_refreshes() {
    for (talking_refresh &r : recent_talking_refreshes)
        r.used = false;
}

// True (and remembered) when `user_id` may have its rebuild now.
bool talking_refresh_due(uint32_t user_id, uint32_t now) {
    talking_refresh *slot = nullptr;
    for (talking_refresh &r : recent_talking_refreshes) {
        if (r.used && r.user_id == user_id) {
            if (now - r.at_ms < talking_refresh_interval_ms) return false;
            slot = &r;
            break;
        }
    }
    // A new id takes a free slot, else the one refreshed longest ago.
    for (size_t i = 0; !slot && i < talking_refresh_slots; ++i) {
        if (!recent_talking_refreshes[i].used) slot = &recent_talking_refreshes[i];
    }
    if (!slot) {
        slot = &recent_talking_refreshes[0];
        for (talking_refresh &r : recent_talking_refreshes)
            if (now - r.at_ms > now - slot->at_ms) slot = &r;
    }
    *slot = {user_id, now, true};
    return true;
}

// Events rely on a completed init; one that comes outside init and shutdown
// has no lock or paths to work with and is ignored.
bool session_open() { return g_state.lock_ready == 1; }

// Mumble reports a disconnect on its connection thread, not the main thread
// where the other events run, so the connection is read under the lock.
int32_t current_connection() {
    state_lock_enter();
    const int32_t connection = g_state.connection_id;
    state_lock_leave();
    return connection;
}

void publish_identity(const char *identity) {
    state_lock_enter();
    std::snprintf(g_state.identity_hash, sizeof g_state.identity_hash, "%s", identity);
    state_lock_leave();
}

void announce_identity(const char *identity) {
    log_notice("%s", announcement_rule);
    log_notice("Quorvane Voice %s  -  proximity voice", QV_VERSION_TEXT);
    log_notice("Quorvane Voice found this Mumble identity: %.*s...", announced_identity_chars, identity);
    log_notice("A browser approval will open if this certificate is not linked.");
    log_notice("%s", announcement_rule);
}

bool read_client_id(char *out, size_t out_size) {
    std::FILE *f = platform_open_for_read(g_state.client_id_path);
    if (!f) return false;
    char line[client_id_size] = {};
    bool accepted = std::fgets(line, sizeof line, f) && client_id_from_line(line, out, out_size);
    std::fclose(f);
    return accepted;
}

void make_client_id(char *out, size_t out_size) {
    unsigned char bytes[client_id_random_bytes];
    if (!platform_random_bytes(bytes, sizeof bytes))
        client_id_fallback_bytes(platform_ticks(), platform_process_id(), bytes, sizeof bytes);
    client_id_hex(bytes, sizeof bytes, out, out_size);
    // A file that cannot be written only costs persistence: the id serves
    // now and a later synchronize makes another.
    if (std::FILE *f = platform_open_for_write(g_state.client_id_path, false)) {
        std::fprintf(f, "%s\r\n", out);
        std::fclose(f);
    }
}

// Settles identity_hash for `connection`: the local certificate hash, or the
// client id when Mumble has no usable hash to give.
void resolve_identity(int32_t connection) {
    auto get_local_user_id = api_slot<api_slot_get_local_user_id>();
    auto get_user_hash = api_slot<api_slot_get_user_hash>();
    auto free_memory = api_slot<api_slot_free_memory>();
    if (connection < 0 || !get_local_user_id || !get_user_hash || !free_memory) return;

    mumble_userid_t local_user = 0;
    if (get_local_user_id(g_state.plugin_id, connection, &local_user) != 0) {
        log_notice("failed to read local Mumble user id");
        return;
    }

    const char *hash = nullptr;
    mumble_error_t result = get_user_hash(g_state.plugin_id, connection, local_user, &hash);
    if (result == 0 && hash && hash[0] != '\0') {
        publish_identity(hash);
        announce_identity(hash);
        free_memory(g_state.plugin_id, hash);
        return;
    }
    // An empty text, or one left behind with a failure code, is the host's too.
    if (hash) free_memory(g_state.plugin_id, hash);

    char client_id[client_id_size] = {};
    if (!read_client_id(client_id, sizeof client_id)) make_client_id(client_id, sizeof client_id);
    publish_identity(client_id);
    announce_identity(client_id);
}
}  // namespace

bool client_id_from_line(const char *line, char *out, size_t out_size) {
    size_t end = 0;
    while (end < client_id_max_length && line[end] != '\0' && line[end] != '\n')
        ++end;
    size_t start = 0;
    while (start < end && is_space(line[start]))
        ++start;
    while (end > start && is_space(line[end - 1]))
        --end;

    size_t length = end - start;
    if (length < client_id_min_length || length >= out_size) return false;
    for (size_t i = start; i < end; ++i) {
        if (!is_xdigit(line[i])) return false;
    }
    std::memcpy(out, line + start, length);
    out[length] = '\0';
    return true;
}

void client_id_fallback_bytes(uint32_t ticks, uint32_t process_id, unsigned char *out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t mixed = (ticks >> (8 * (i % 4))) ^ (process_id >> (8 * ((i + 1) % 4))) ^ static_cast<uint32_t>(37 * i);
        out[i] = static_cast<unsigned char>(mixed & 0xffu);
    }
}

void client_id_hex(const unsigned char *bytes, size_t n, char *out, size_t out_size) {
    static constexpr char digits[] = "0123456789abcdef";
    if (out_size == 0) return;
    size_t at = 0;
    for (size_t i = 0; i < n && at + 2 < out_size; ++i) {
        out[at++] = digits[bytes[i] >> 4];
        out[at++] = digits[bytes[i] & 0x0f];
    }
    out[at] = '\0';
}

void on_server_synchronized(int32_t connection) {
    if (!session_open()) return;
    state_lock_enter();
    // A new server ends the current falloff connection before anything else.
    end_falloff_connection_as_own("mumble_synchronized");
    g_state.connection_id = connection;
    g_state.identity_settling = 1;
    clear_applied_factors();
    state_lock_leave();
    forget_talking_refreshes();
    resolve_identity(connection);
    state_lock_enter();
    g_state.identity_settling = 0;
    state_lock_leave();
    // The workers connect and link with the settled identity now, not at
    // the end of a pause.
    workers_wake();
    refresh_user_hashes();
    // Also when the socket layer failed at init: this is the second chance.
    start_workers();
}

void adopt_active_connection() {
    if (!session_open()) return;
    auto get_active = api_slot<api_slot_get_active_server_connection>();
    auto is_synchronized = api_slot<api_slot_is_connection_synchronized>();
    if (!get_active || !is_synchronized) return;

    mumble_connection_t connection = -1;
    mumble_error_t result = get_active(g_state.plugin_id, &connection);
    if (result == mumble_error_no_active_connection) return;
    const char *call = "getActiveServerConnection";
    bool synchronized = false;
    if (result == mumble_status_ok) {
        call = "isConnectionSynchronized";
        result = is_synchronized(g_state.plugin_id, connection, &synchronized);
    }
    if (result != mumble_status_ok) {
        log_debug("mumble_connection_query_failed call=%s err=%d", call, static_cast<int>(result));
        return;
    }
    if (synchronized) on_server_synchronized(connection);
}

void on_server_disconnected() {
    if (!session_open()) return;
    state_lock_enter();
    end_falloff_connection_as_own("mumble_disconnected");
    forget_server();
    state_lock_leave();
}

void on_user_talking_state(int32_t connection, uint32_t user_id, int32_t talking_state) {
    if (!session_open()) return;
    if (talking_state == mumble_talking_passive || talking_state == mumble_talking_invalid) return;
    if (connection < 0 || connection != current_connection()) return;
    if (user_hash_known(user_id)) return;
    if (!talking_refresh_due(user_id, platform_ticks())) return;
    refresh_user_hashes();
}

void refresh_user_hashes() {
    if (!session_open()) return;
    auto get_all_users = api_slot<api_slot_get_all_users>();
    auto get_user_hash = api_slot<api_slot_get_user_hash>();
    auto free_memory = api_slot<api_slot_free_memory>();
    const int32_t connection = current_connection();
    if (!get_all_users || !get_user_hash || !free_memory || connection < 0) return;

    mumble_userid_t *users = nullptr;
    size_t user_count = 0;
    if (get_all_users(g_state.plugin_id, connection, &users, &user_count) != 0 || !users) return;

    size_t kept = 0;
    for (size_t i = 0; i < user_count && kept < max_user_hashes; ++i) {
        const char *hash = nullptr;
        mumble_error_t result = get_user_hash(g_state.plugin_id, connection, users[i], &hash);
        if (result == 0 && hash && hash[0] != '\0') {
            user_hash_entry &entry = scratch_user_hashes[kept++];
            entry.user_id = users[i];
            std::snprintf(entry.hash, sizeof entry.hash, "%s", hash);
        }
        if (hash) free_memory(g_state.plugin_id, hash);
    }
    free_memory(g_state.plugin_id, users);

    publish_user_hashes(scratch_user_hashes, kept);
    log_debug("refreshed %zu Mumble user hashes", kept);
}
