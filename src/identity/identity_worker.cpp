#include "identity_worker.h"

#include "../core/flavour.h"
#include "../core/logging.h"
#include "../core/plugin_state.h"
#include "../core/text.h"
#include "credential_store.h"
#include "https_client.h"
#include "json_field.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {
constexpr const char *start_path = "/api/voice/link/start";
constexpr const char *start_headers = "Content-Type: application/json\r\n";
constexpr const char *start_body_format = "{\"certificate_hash\":\"%s\",\"credential_required\":true}";
constexpr const char *approval_address_format = "https://" QV_WEB_HOST "/account/voice?code=%s&approval=%s";
constexpr const char *status_path_format = "/api/voice/link/status?code=%s";
constexpr const char *secret_header_format = "X-Voice-Link-Secret: %s\r\n";

constexpr uint32_t http_created = 201;
constexpr uint32_t http_ok = 200;
constexpr uint32_t http_gone = 410;

// Accepted values are shorter than their buffers, so the texts built from
// them always fit (a "%s" is two characters of its format).
constexpr size_t format_length(const char *format) { return std::char_traits<char>::length(format); }
static_assert(format_length(start_body_format) - 2 + (hash_size - 1) < start_body_size);
static_assert(format_length(approval_address_format) - 4 + (link_code_size - 1) + (link_secret_size - 1) <
              approval_address_size);
static_assert(format_length(status_path_format) - 2 + (link_code_size - 1) < status_path_size);
static_assert(format_length(secret_header_format) - 2 + (link_secret_size - 1) < secret_header_size);

// Printable ASCII; the blank is left out where a value must stay one word.
constexpr unsigned char printable_first = 0x20;
constexpr unsigned char visible_first = 0x21;
constexpr unsigned char printable_last = 0x7E;

// Reads key into out, which is left empty when the field is missing.
bool read_field(const char *response, const char *key, char *out, size_t size) {
    out[0] = '\0';
    return json_get_string(response, key, out, size);
}

void clear_link_values(link_start *out) {
    out->code[0] = '\0';
    out->secret[0] = '\0';
    out->approval_secret[0] = '\0';
}
}  // namespace

bool is_visible_ascii(const char *text) {
    for (const char *p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < visible_first || c > printable_last) return false;
    }
    return true;
}

start_outcome classify_start_reply(uint32_t status, const char *response, link_start *out) {
    clear_link_values(out);
    read_field(response, "status", out->state, sizeof out->state);
    if (status == http_ok && std::strcmp(out->state, "linked") == 0) return start_outcome::linked_without_credential;

    bool accepted = status == http_created && std::strcmp(out->state, "pending") == 0 &&
                    read_field(response, "code", out->code, sizeof out->code) &&
                    read_field(response, "secret", out->secret, sizeof out->secret) &&
                    read_field(response, "approval_secret", out->approval_secret, sizeof out->approval_secret);
    // These go verbatim into a request path, a header line and a browser
    // address: a CR or LF would add header lines, a blank or a control
    // character would break the address. An empty one is no link either: an
    // empty secret header is dropped on the way, so the polls would go out
    // without it.
    accepted = accepted && out->code[0] && out->secret[0] && out->approval_secret[0] && is_visible_ascii(out->code) &&
               is_visible_ascii(out->secret) && is_visible_ascii(out->approval_secret);
    if (accepted) return start_outcome::accepted;
    clear_link_values(out);
    return start_outcome::rejected;
}

poll_outcome classify_poll_reply(uint32_t status, const char *response, char *credential) {
    credential[0] = '\0';
    char state[link_state_size];
    read_field(response, "status", state, sizeof state);
    if (status != http_ok) return status == http_gone ? poll_outcome::gone : poll_outcome::retry;
    if (std::strcmp(state, "linked") != 0) return poll_outcome::retry;
    if (!read_field(response, "credential", credential, link_credential_size) || !credential_is_valid(credential)) {
        credential[0] = '\0';
        return poll_outcome::invalid_credential;
    }
    return poll_outcome::linked;
}

bool format_start_body(char *out, size_t size, const char *identity) {
    return formatted_fits(std::snprintf(out, size, start_body_format, identity), size);
}

bool format_approval_address(char *out, size_t size, const char *code, const char *approval_secret) {
    return formatted_fits(std::snprintf(out, size, approval_address_format, code, approval_secret), size);
}

bool format_status_path(char *out, size_t size, const char *code) {
    return formatted_fits(std::snprintf(out, size, status_path_format, code), size);
}

bool format_secret_header(char *out, size_t size, const char *secret) {
    return formatted_fits(std::snprintf(out, size, secret_header_format, secret), size);
}

void copy_for_log(char *out, size_t size, const char *text) {
    if (size == 0) return;
    size_t n = 0;
    for (; text[n] && n + 1 < size; ++n) {
        auto c = static_cast<unsigned char>(text[n]);
        out[n] = (c < printable_first || c > printable_last) ? '?' : text[n];
    }
    out[n] = '\0';
}

namespace {
// All on the worker's own stack: a worker that overran a shutdown may still
// be finishing beside the next session's.
struct link_worker {
    uint32_t generation;
    identity_link_io io;
    char identity[hash_size];
    char credential[credential_size];
    char body[start_body_size];
    char response[http_response_size];
    uint32_t status;
    link_start start;
    char address[approval_address_size];
    char status_path[status_path_size];
    char secret_header[secret_header_size];
    char received[link_credential_size];
    bool dropped;          // the last link ended in a 410
    uint32_t page_opened;  // ticks when its approval page opened
};

bool current(const link_worker &w) { return worker_is_current(w.generation); }

// One request as both phases make it: status 0 and an empty response first.
bool send(link_worker &w, const char *method, const char *path, const char *headers, const char *body) {
    w.status = 0;
    w.response[0] = '\0';
    return w.io.request(method, path, headers, body, &w.status, w.response);
}

// False once the worker is to stop.
bool backoff(link_worker &w) { return worker_wait(w.generation, start_backoff_ms); }

// Polls until the link is approved, dropped (410) or out of time. False once
// the worker is to stop.
bool poll_for_approval(link_worker &w, uint32_t poll_start) {
    // Fit by construction (static_asserts above).
    format_status_path(w.status_path, sizeof w.status_path, w.start.code);
    format_secret_header(w.secret_header, sizeof w.secret_header, w.start.secret);
    while (current(w)) {
        if (platform_ticks() - poll_start >= approval_time_limit_ms) return true;
        bool answered = send(w, "GET", w.status_path, w.secret_header, nullptr);
        // The reply of a request that outlived a shutdown belongs to nobody.
        if (!current(w)) return false;
        if (answered) {
            switch (classify_poll_reply(w.status, w.response, w.received)) {
                case poll_outcome::gone:
                    w.dropped = true;
                    return true;
                case poll_outcome::invalid_credential:
                    log_debug("voice_identity_linked_without_valid_credential");
                    break;
                case poll_outcome::linked:
                    if (credential_save(w.received)) {
                        log_notice("proximity voice linked with a private player credential");
                        return true;
                    }
                    // Later polls may deliver it again; the save is retried.
                    log_notice("voice linked but its local credential could not be saved");
                    break;
                case poll_outcome::retry:
                    break;
            }
        }
        if (!worker_wait(w.generation, poll_interval_ms)) return false;
    }
    return false;
}

// One link attempt: start, approval page, polling. False once the worker is
// to stop.
bool link_attempt(link_worker &w) {
    format_start_body(w.body, sizeof w.body, w.identity);
    bool answered = send(w, "POST", start_path, start_headers, w.body);
    if (!current(w)) return false;
    if (!answered) {
        log_debug("voice_identity_start_transport_failed");
        return backoff(w);
    }
    switch (classify_start_reply(w.status, w.response, &w.start)) {
        case start_outcome::linked_without_credential:
            log_debug("voice_identity_linked_without_credential");
            return backoff(w);
        case start_outcome::rejected: {
            char state[link_state_size];
            copy_for_log(state, sizeof state, w.start.state);
            log_debug("voice_identity_start_rejected status=%d state=%s", static_cast<int>(w.status),
                      state[0] ? state : "missing");
            return backoff(w);
        }
        case start_outcome::accepted:
            break;
    }

    format_approval_address(w.address, sizeof w.address, w.start.code, w.start.approval_secret);
    log_notice("approve proximity voice in your browser (code %s)", w.start.code);
    if (!w.io.open_address(w.address)) log_notice("open https://" QV_WEB_HOST "/account to approve proximity voice");
    w.dropped = false;
    w.page_opened = platform_ticks();
    return poll_for_approval(w, w.page_opened);
}

// How long a new link must still wait after a dropped one; 0 when it may
// start now.
uint32_t relink_wait(const link_worker &w) {
    if (!w.dropped) return 0;
    uint32_t elapsed = platform_ticks() - w.page_opened;
    return elapsed >= relink_spacing_ms ? 0 : relink_spacing_ms - elapsed;
}
}  // namespace

void identity_worker_run(uint32_t generation, const identity_link_io &io) {
    worker_thread_begin(generation);
    link_worker w{};
    w.generation = generation;
    w.io = io;
    while (current(w)) {
        // Read before the state: a server synchronized or a credential
        // revoked after the copy ends the idle wait at once.
        const uint32_t wakes = workers_wake_count();
        if (!worker_state_enter()) return;
        std::snprintf(w.identity, sizeof w.identity, "%s", worker_identity());
        std::snprintf(w.credential, sizeof w.credential, "%s", g_state.credential);
        state_lock_leave();

        bool go_on;
        if (w.identity[0] == '\0') {
            go_on = worker_wait_for_change(generation, no_identity_idle_ms, wakes);
        } else if (w.credential[0] != '\0') {
            go_on = worker_wait_for_change(generation, credential_held_idle_ms, wakes);
        } else if (uint32_t wait = relink_wait(w)) {
            // In slices like every wait; the next pass looks at the state again.
            go_on = worker_wait(generation, wait);
        } else {
            go_on = link_attempt(w);
        }
        if (!go_on) return;
    }
}

void identity_worker(void *arg) {
    auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    flavour_worker_started("identity", generation);
    identity_worker_run(generation, identity_link_io{&http_request, &flavour_open_url});
}
