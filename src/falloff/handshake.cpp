// The handshake's network half: the exchanges of both modes over the
// transport, the fallback, the refusal log and the revocation.
#include "handshake.h"

#include "../core/logging.h"
#include "../core/plugin_state.h"
#include "challenge_response.h"
#include "socket_transport.h"

#include <cstring>

namespace {
// Replaces the refused attempt's socket by a fresh connection in legacy mode.
int32_t fall_back_to_legacy(platform_socket *socket, const char *identity_hash, char *reply, bool *legacy_mode) {
    // A session that ended meanwhile gets no new connection: the connect
    // could not be interrupted by its shutdown.
    if (!falloff_unpublish_and_close(socket)) return handshake_token_unavailable;
    platform_socket fresh = platform_invalid_socket;
    if (!falloff_connect(&fresh)) return handshake_token_unavailable;
    if (!falloff_publish(fresh)) {
        platform_socket_close(fresh);
        return handshake_token_unavailable;
    }
    *socket = fresh;
    *legacy_mode = true;
    return legacy_hello(fresh, identity_hash, reply);
}

// Empties the shared credential and deletes its file, but only while the
// shared credential is still the one the server refused: a newer one that
// the identity worker stored meanwhile was never tried and is kept.
void revoke_credential(const char *refused_credential) {
    bool revoked = false;
    if (worker_state_enter()) {
        if (std::strcmp(g_state.credential, refused_credential) == 0) {
            g_state.credential[0] = '\0';
            revoked = true;
        }
        state_lock_leave();
    }
    if (!revoked) return;
    platform_delete_file(g_state.token_path);  // may fail (no file); the credential is gone all the same
    log_notice("voice credential was revoked; approve proximity voice again");
    // The identity worker, idle while a credential was held, links again now.
    workers_wake();
}

bool send_line(platform_socket socket, const char *line, const handshake_observer *observer) {
    bool ok = send_all(socket, line);
    if (observer && observer->sent) observer->sent(observer->context, line, ok);
    return ok;
}

bool read_reply(platform_socket socket, char *reply, const handshake_observer *observer) {
    int32_t code = read_line(socket, reply, nullptr);
    if (observer && observer->received) observer->received(observer->context, code, reply);
    return code == read_line_complete;
}
}  // namespace

int32_t token_hello(platform_socket socket, const char *identity_hash, const char *credential, char *reply,
                    const handshake_observer *observer) {
    char line[hello_line_size];
    if (!format_hello2_line(line, sizeof line, identity_hash) || !send_line(socket, line, observer))
        return handshake_failed;
    if (!read_reply(socket, reply, observer)) return handshake_failed;

    const char *challenge = nullptr;
    int32_t result = classify_hello2_reply(reply, &challenge);
    if (result != handshake_challenge) return result;

    char response[auth_response_size];
    if (!compute_auth_response(credential, identity_hash, challenge, response)) return handshake_failed;
    char auth[auth_line_size];
    if (!format_auth_line(auth, sizeof auth, response) || !send_line(socket, auth, observer)) return handshake_failed;
    if (!read_reply(socket, reply, observer)) return handshake_failed;
    return classify_final_reply(reply);
}

int32_t legacy_hello_with_key(platform_socket socket, const char *api_key, const char *identity_hash, char *reply,
                              const handshake_observer *observer) {
    char line[hello_line_size];
    if (!format_hello_line(line, sizeof line, api_key, identity_hash) || !send_line(socket, line, observer))
        return handshake_failed;
    if (!read_reply(socket, reply, observer)) return handshake_failed;
    return classify_final_reply(reply);
}

int32_t legacy_hello(platform_socket socket, const char *identity_hash, char *reply) {
    return legacy_hello_with_key(socket, g_state.api_key, identity_hash, reply);
}

int32_t falloff_handshake(platform_socket *socket, const char *identity_hash, const char *credential, char *reply,
                          int32_t *unauthorized_count, bool *legacy_mode) {
    std::memset(reply, 0, line_buffer_size);
    *legacy_mode = credential[0] == '\0';
    int32_t result = *legacy_mode ? legacy_hello(*socket, identity_hash, reply)
                                  : token_hello(*socket, identity_hash, credential, reply);

    if (result == handshake_token_unavailable && g_state.api_key[0] != '\0')
        result = fall_back_to_legacy(socket, identity_hash, reply, legacy_mode);
    if (result == handshake_accepted) return result;

    log_debug("falloff_hello_rejected mode=%s reply=%s", *legacy_mode ? "legacy" : "token", reply);
    if (*socket != platform_invalid_socket) falloff_unpublish_and_close(socket);
    if (result == handshake_unauthorized && !*legacy_mode) {
        if (*unauthorized_count >= unauthorized_refusals_before_revocation) {
            revoke_credential(credential);
            *unauthorized_count = 0;
        } else {
            ++*unauthorized_count;
        }
    }
    return result;
}
