// The one way to the community web service: a blocking HTTPS request to the
// service's web host on port 443.
#pragma once

#include <cstddef>
#include <cstdint>

// The web host is fixed when the library is built; the fallback name can
// never resolve, so a build without one reaches nobody.
#ifndef QV_WEB_HOST
#define QV_WEB_HOST "voice.quorvane.invalid"
#endif

// The user agent is this and the version; the version text in a built
// library is found after it.
#define QV_USER_AGENT_PRODUCT "QuorvaneVoice/"

// Size of the caller's response buffer: at most 4095 body bytes and a NUL.
constexpr size_t http_response_size = 4096;

// Sends method and path (with any query, verbatim), the extra header lines
// (each ending in "\r\n"; null or empty for none) and the body (null or
// empty for none). True when a response arrived, whatever its status code,
// with the status in *status (0 when unreadable) and the first 4095 body bytes,
// NUL-terminated, in response (http_response_size bytes). False when no
// response arrived; a missing method or path touches neither output.
bool http_request(const char *method, const char *path, const char *extra_headers, const char *body, uint32_t *status,
                  char *response /*4096*/);
// The same into a response buffer of response_size bytes: a caller that must
// know how far a body runs past the first 4095 bytes.
bool http_request_sized(const char *method, const char *path, const char *extra_headers, const char *body,
                        uint32_t *status, char *response, size_t response_size);

// Readies the platform's HTTPS client; init calls it before any worker
// exists. Safe to call again.
void http_client_init();

// Cuts short every request that a worker has under way, where the platform
// can (shutdown calls it once `running` is cleared). Elsewhere a worker's
// request notices the stop by itself within about a second. Requests on the
// host's threads are left alone.
void http_abandon_worker_requests();
