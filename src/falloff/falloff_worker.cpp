#include "falloff_worker.h"

#include "../core/flavour.h"
#include "../core/logging.h"
#include "../core/plugin_state.h"
#include "handshake.h"
#include "server_line.h"
#include "socket_transport.h"
#include "speaker_update.h"

#include <cstdio>
#include <cstring>

namespace {
struct worker {
    uint32_t generation;
    uint32_t connection_count = 0;
    int32_t unauthorized_count = 0;
    char identity[hash_size] = {};
    char credential[credential_size] = {};
    char line[line_buffer_size] = {};
    // The player has been told of the current outage; the next accepted
    // connection ends it.
    bool paused = false;
    // falloff_own_end_count when the pass began.
    uint32_t own_end_count = 0;
};

struct connection_end {
    const char *reason;
    int32_t error;
};

bool current(const worker &w) { return worker_is_current(w.generation); }

// How much of the server's last reply a refusal notice quotes.
constexpr size_t quoted_reply_chars = 80;

// The reply as the notice quotes it: printable ASCII only, so a server's
// bytes cannot break or dress up a line in Mumble's log.
void quote_reply(const char *reply, char (&out)[quoted_reply_chars + 1]) {
    size_t n = 0;
    for (; n < quoted_reply_chars && reply[n] != '\0'; ++n) {
        auto c = static_cast<unsigned char>(reply[n]);
        out[n] = c >= 0x20 && c <= 0x7e ? static_cast<char>(c) : '?';
    }
    out[n] = '\0';
}

// The reason of an end the plugin caused itself during this pass (leaving
// or changing the Mumble server), or null.
const char *own_end_reason(const worker &w) {
    const char *reason = nullptr;
    if (worker_state_enter()) {
        if (g_state.falloff_own_end_count != w.own_end_count) reason = g_state.falloff_own_end_reason;
        state_lock_leave();
    }
    return reason;
}

// True when a stop or a host event of the plugin's own (leaving or changing
// the Mumble server) cut this pass's attempt short: no failure of the server.
// Decided once, as the failure is seen, so that an event after it cannot
// take back the pause it owes.
bool cut_short(const worker &w) { return !current(w) || own_end_reason(w) != nullptr; }

// True when a failure of the server begins an outage that the player is to
// hear of: only once until a connection is accepted again.
bool outage_begins(worker &w) {
    if (w.paused) return false;
    w.paused = true;
    return true;
}

uint32_t reconnect_ms() {
    // reconnect_sec has no upper bound; its milliseconds must not wrap.
    uint32_t sec = static_cast<uint32_t>(g_state.reconnect_sec);
    return sec > UINT32_MAX / 1000u ? UINT32_MAX : sec * 1000u;
}

// The pause after a failure of the server, which spares a server that is
// down or refusing: it is served whole (a stop ends it).
void failure_pause(const worker &w) { worker_wait(w.generation, reconnect_ms()); }

// Nothing to connect with yet (no identity, no key or credential, voice off):
// the pass is looked at again as soon as that may have changed, since waiting
// the failure pause here would keep every voice silenced for nothing.
void idle_until_change(const worker &w, uint32_t since) { worker_wait_for_change(w.generation, reconnect_ms(), since); }

bool credential_is_held() {
    bool held = false;
    if (worker_state_enter()) {
        held = g_state.credential[0] != '\0';
        state_lock_leave();
    }
    return held;
}

// The message loop of an accepted connection; returns why it ended.
connection_end run_connection(worker &w, platform_socket s, bool legacy_mode, uint32_t *last_update_at) {
    uint32_t last_ping_at = platform_ticks();
    uint32_t last_credential_check_at = platform_ticks();
    if (!current(w)) return {"worker_stop", 0};
    for (;;) {
        int32_t error = 0;
        switch (read_line(s, w.line, &error)) {
            case read_line_complete:
                if (classify_server_line(w.line) == server_line_kind::ping) {
                    if (!send_all(s, "OK\n")) return {"ping_reply_send_error", platform_socket_error()};
                } else if (classify_server_line(w.line) == server_line_kind::speaker_update) {
                    apply_speaker_update(w.line);
                    *last_update_at = platform_ticks();
                }
                break;
            case read_line_idle_timeout:
                break;
            case read_line_closed:
                return {"remote_eof", 0};
            case read_line_partial_timeout:
                return {"partial_line_timeout", error};
            case read_line_too_long:
                return {"line_too_long", 0};
            default:
                return {"receive_error", error};
        }
        uint32_t now = platform_ticks();
        if (now - last_ping_at > keepalive_interval_ms) {
            if (!send_all(s, "PING\n")) return {"keepalive_send_error", platform_socket_error()};
            last_ping_at = now;
        }
        if (legacy_mode && now - last_credential_check_at > credential_check_interval_ms) {
            last_credential_check_at = now;
            if (credential_is_held()) return {"credential_upgrade", 0};
        }
        if (!current(w)) return {"worker_stop", 0};
    }
}

// Whether the next pass may come at once: true after an end of the plugin's
// own (a stop, a new or no Mumble server, the move to the credential), which
// is no failure of the server.
bool accepted(worker &w, platform_socket s, bool legacy_mode) {
    ++w.connection_count;
    w.paused = false;
    log_notice("connected to falloff %s:%d (%s, connection=%lu)", g_state.server_host, g_state.server_port,
               legacy_mode ? "migration compatibility" : "per-player credential",
               static_cast<unsigned long>(w.connection_count));
    uint32_t connected_at = platform_ticks();
    uint32_t last_update_at = 0;
    connection_end end = run_connection(w, s, legacy_mode, &last_update_at);

    uint32_t now = platform_ticks();
    bool own = !current(w);
    if (own) {
        end.reason = "plugin_shutdown";
    } else if (const char *reason = own_end_reason(w)) {
        end.reason = reason;
        own = true;
    }
    log_debug("falloff_connection_end connection=%lu reason=%s err=%d connected_ms=%u last_update_ms=%u",
              static_cast<unsigned long>(w.connection_count), end.reason, end.error,
              static_cast<unsigned>(now - connected_at),
              static_cast<unsigned>(last_update_at == 0 ? 0 : now - last_update_at));
    falloff_unpublish_and_close(&s);
    if (worker_state_enter()) {
        g_state.speaker_count = 0;
        state_lock_leave();
    }
    w.unauthorized_count = 0;
    own = own || std::strcmp(end.reason, "credential_upgrade") == 0;
    if (!own && outage_begins(w))
        log_notice("proximity voice paused: lost the connection to falloff %s:%d (%s); retrying every %d s",
                   g_state.server_host, g_state.server_port, end.reason, g_state.reconnect_sec);
    return own;
}

void one_pass(worker &w) {
    // Read before the state, so that a change after the copy ends the idle wait.
    const uint32_t wakes = workers_wake_count();
    if (!worker_state_enter()) return;
    std::snprintf(w.identity, sizeof w.identity, "%s", worker_identity());
    std::snprintf(w.credential, sizeof w.credential, "%s", g_state.credential);
    w.own_end_count = g_state.falloff_own_end_count;
    state_lock_leave();

    bool eligible =
        g_state.enabled == 1 && w.identity[0] != '\0' && (g_state.api_key[0] != '\0' || w.credential[0] != '\0');
    if (!eligible) {
        idle_until_change(w, wakes);
        return;
    }

    platform_socket s = platform_invalid_socket;
    log_debug("falloff_connect_attempt host=%s port=%d", g_state.server_host, g_state.server_port);
    if (!falloff_connect(&s)) {
        log_debug("falloff_connect_fail host=%s port=%d", g_state.server_host, g_state.server_port);
        if (cut_short(w)) return;
        if (outage_begins(w))
            log_notice("proximity voice paused: cannot reach falloff %s:%d; retrying every %d s", g_state.server_host,
                       g_state.server_port, g_state.reconnect_sec);
        failure_pause(w);
        return;
    }
    if (!falloff_publish(s)) {
        platform_socket_close(s);
        return;
    }

    bool legacy_mode = false;
    int32_t result = falloff_handshake(&s, w.identity, w.credential, w.line, &w.unauthorized_count, &legacy_mode);
    if (result != handshake_accepted) {
        if (cut_short(w)) return;
        if (outage_begins(w)) {
            char quoted[quoted_reply_chars + 1];
            quote_reply(w.line, quoted);
            log_notice("proximity voice paused: falloff %s:%d refused the plugin (%s); retrying every %d s",
                       g_state.server_host, g_state.server_port, quoted[0] != '\0' ? quoted : "no reply",
                       g_state.reconnect_sec);
        }
        failure_pause(w);
        return;
    }
    if (!accepted(w, s, legacy_mode)) failure_pause(w);
}
}  // namespace

void falloff_worker(void *arg) {
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    worker_thread_begin(generation);
    flavour_worker_started("falloff", generation);
    if (!worker_is_current(generation)) return;
    // On this thread's stack: a worker that overran a shutdown may still be
    // finishing beside the next session's.
    worker w{};
    w.generation = generation;
    while (worker_is_current(generation)) {
        one_pass(w);
    }
}

void end_falloff_connection_as_own(const char *reason) {
    ++g_state.falloff_own_end_count;
    g_state.falloff_own_end_reason = reason;
    if (g_state.falloff_socket != platform_invalid_socket) platform_socket_shutdown(g_state.falloff_socket);
}
