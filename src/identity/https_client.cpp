// http_request over the platform's HTTPS client, to the endpoint the
// flavour names: the built-in web host on port 443 in the shipped library.
#include "https_client.h"

#include "../core/flavour.h"
#include "../core/plugin_state.h"
#include "../platform/platform.h"
#include "build_info.h"

#include <cstring>

namespace {
constexpr const char *user_agent = QV_USER_AGENT_PRODUCT QV_VERSION_TEXT;

constexpr uint32_t resolve_timeout_ms = 5000;
constexpr uint32_t connect_timeout_ms = 5000;
constexpr uint32_t send_timeout_ms = 5000;
constexpr uint32_t receive_timeout_ms = 8000;
// No request runs longer, whatever the server sends (a reply dripped a few
// bytes at a time never trips the receive time-out); one over it fails.
constexpr uint32_t request_deadline_ms = 30000;
// Under a test time scale the time-outs shrink with the clocks, but never
// below this: a loaded test machine still completes a loopback handshake.
constexpr uint32_t min_scaled_timeout_ms = 2000;

// UTF-16 code units of a UTF-8 text, terminator excluded: every byte that
// starts a character counts one, a four-byte sequence two.
size_t utf16_units(const char *text) {
    size_t units = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if ((*p & 0xC0u) == 0x80u) continue;
        units += (*p & 0xF8u) == 0xF0u ? 2 : 1;
    }
    return units;
}

uint32_t scaled_timeout(uint32_t ms) {
    uint32_t scaled = platform_scaled_ms(ms);
    if (scaled >= ms) return ms;
    return scaled < min_scaled_timeout_ms ? min_scaled_timeout_ms : scaled;
}
}  // namespace

void http_client_init() { platform_https_global_init(); }

void http_abandon_worker_requests() { platform_https_abandon_cancellable(); }

bool http_request(const char *method, const char *path, const char *extra_headers, const char *body, uint32_t *status,
                  char *response) {
    return http_request_sized(method, path, extra_headers, body, status, response, http_response_size);
}

bool http_request_sized(const char *method, const char *path, const char *extra_headers, const char *body,
                        uint32_t *status, char *response, size_t response_size) {
    if (!method || !path || response_size == 0) return false;
    *status = 0;
    response[0] = '\0';
    bool has_headers = extra_headers && *extra_headers;
    if (utf16_units(method) >= platform_https_method_units || utf16_units(path) >= platform_https_path_units ||
        (has_headers && utf16_units(extra_headers) >= platform_https_header_units))
        return false;

    web_endpoint endpoint;
    flavour_web_endpoint(&endpoint);
    platform_https_target target{endpoint.host, endpoint.port,
                                 endpoint.extra_ca_file[0] ? endpoint.extra_ca_file : nullptr};
    platform_https_timeouts timeouts{scaled_timeout(resolve_timeout_ms), scaled_timeout(connect_timeout_ms),
                                     scaled_timeout(send_timeout_ms), scaled_timeout(receive_timeout_ms),
                                     scaled_timeout(request_deadline_ms)};
    // A worker's request ends as soon as its session stops; the host's own
    // threads (the update check) are never cut short.
    platform_https_cancel_fn cancel = on_worker_thread() ? &worker_thread_stopping : nullptr;
    size_t body_length = body ? std::strlen(body) : 0;
    if (body_length > platform_https_max_body) return false;
    return platform_https_request(target, user_agent, timeouts, method, path, has_headers ? extra_headers : nullptr,
                                  body_length > 0 ? body : nullptr, body_length, cancel, status, response,
                                  response_size);
}
