// The identity worker: while an identity is known and no credential is held,
// it starts a link with the web service, opens the approval page in the
// browser, polls until the player has approved, and saves the credential.
#pragma once

#include <cstddef>
#include <cstdint>

// Buffers of the link exchange; every text the service sends is read into
// one of these and refused when it does not fit.
constexpr size_t link_state_size = 32;
constexpr size_t link_code_size = 32;
constexpr size_t link_secret_size = 192;
constexpr size_t link_credential_size = 192;
constexpr size_t start_body_size = 512;
constexpr size_t approval_address_size = 512;
constexpr size_t status_path_size = 256;
constexpr size_t secret_header_size = 256;

// Idle waits of the main loop, the pause after a failed start, the pause
// between polls, and how long one approval page stays open.
constexpr uint32_t no_identity_idle_ms = 1000;
constexpr uint32_t credential_held_idle_ms = 2000;
constexpr uint32_t start_backoff_ms = 15000;
constexpr uint32_t poll_interval_ms = 2000;
constexpr uint32_t approval_time_limit_ms = 300000;
// A link the service dropped (410) is started again at once only when the
// last approval page opened this long ago; otherwise the worker waits until
// then, so a service that drops every link cannot open the browser more
// than once a minute.
constexpr uint32_t relink_spacing_ms = 60000;

// The fields of a start reply; state is what the reply's "status" said.
struct link_start {
    char state[link_state_size];
    char code[link_code_size];
    char secret[link_secret_size];
    char approval_secret[link_secret_size];
};

enum class start_outcome {
    accepted,                   // 201 "pending" with a usable code, secret and approval secret
    linked_without_credential,  // 200 "linked": nothing the worker can use
    rejected,                   // anything else
};

enum class poll_outcome {
    retry,               // no answer yet: poll again after the interval
    gone,                // 410: this code is dead, start a new link (relink_spacing_ms)
    invalid_credential,  // "linked" without a well-formed credential
    linked,              // "linked" with a credential that passes the format check
};

// True when every byte of text is printable ASCII other than the blank (0x21
// to 0x7E): such a value can go into a request path, a header line and a
// browser address without changing their shape.
bool is_visible_ascii(const char *text);

// Reads a start reply. Always fills out->state (empty when the reply had no
// string "status"); code and the secrets are filled only when accepted.
start_outcome classify_start_reply(uint32_t status, const char *response, link_start *out);

// Reads a status reply; credential (link_credential_size bytes) holds the
// token when the outcome is linked, and is cleared otherwise.
poll_outcome classify_poll_reply(uint32_t status, const char *response, char *credential);

// The request texts and the browser address. Each returns false when the
// result would not fit out (the buffers above are sized so that it always
// does for values that classify_start_reply accepted).
bool format_start_body(char *out, size_t size, const char *identity);
bool format_approval_address(char *out, size_t size, const char *code, const char *approval_secret);
bool format_status_path(char *out, size_t size, const char *code);
bool format_secret_header(char *out, size_t size, const char *secret);

// Copies text for a log line with every byte outside 0x20 to 0x7E replaced
// by '?', so that a reply cannot forge lines in the log file.
void copy_for_log(char *out, size_t size, const char *text);

// What the worker needs from outside: the web service and the browser.
struct identity_link_io {
    bool (*request)(const char *method, const char *path, const char *extra_headers, const char *body, uint32_t *status,
                    char *response);
    bool (*open_address)(const char *address);
};

// The worker's loop on the calling thread, for the worker generation given;
// returns once that generation is to stop.
void identity_worker_run(uint32_t generation, const identity_link_io &io);

// Thread body of the identity worker; arg carries the worker generation.
void identity_worker(void *arg);
