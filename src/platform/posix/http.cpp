// HTTPS through libcurl, made to behave like the Windows client: HTTPS only,
// peer and host verified, HTTP/1.1, no redirects followed, no header of
// curl's own beyond Host, User-Agent and Content-Length, the body cut at the
// caller's buffer. The time-outs map onto what curl offers:
//   resolve + connect  -> CURLOPT_CONNECTTIMEOUT_MS (curl bounds name
//                         resolution, TCP connect and the TLS handshake as one)
//   send, receive      -> CURLOPT_LOW_SPEED_LIMIT 1 byte/s for the longer of
//                         the two, rounded up to whole seconds: a transfer
//                         that stalls that long ends, as a stalled send or
//                         receive does on Windows
//   whole request      -> CURLOPT_TIMEOUT_MS; a request that reaches it
//                         fails, even when its header block had arrived
// The proxy is curl's default: the proxy environment variables, Linux's
// system-wide setting. The transfer runs through a multi handle in short
// waits, so the cancel function is asked every poll_slice_ms even while the
// peer is silent (curl's progress callback alone comes about once a second).
#include "../platform.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {
// Room for "https://", a host name, ":65535" and a path of 1023 bytes.
constexpr size_t url_size = 1400;
// A copy of the extra header block, cut into lines in place.
constexpr size_t header_copy_size = 1024;
constexpr size_t max_header_lines = 64;
constexpr long http_success_floor = 200;  // 1xx header blocks are interim
constexpr int deadline_slack_ms = 20;
// Real milliseconds a wait for socket activity lasts before the cancel
// function is asked again.
constexpr int poll_slice_ms = 50;
// Headers curl adds on its own and the Windows client does not send; an
// empty value tells curl to leave its own out (the caller's still go).
constexpr const char *curl_defaults_removed[] = {"Accept:", "Expect:", "Content-Type:"};

struct transfer {
    char *response;
    size_t capacity;  // body bytes that fit, the NUL excluded
    size_t total;
    bool headers_done;
    platform_https_cancel_fn cancel;
};

size_t on_body(char *data, size_t size, size_t count, void *raw) {
    auto *t = static_cast<transfer *>(raw);
    size_t n = size * count;
    size_t room = t->capacity - t->total;
    size_t take = n < room ? n : room;
    std::memcpy(t->response + t->total, data, take);
    t->total += take;
    // Handing back less than was given ends the transfer: bytes beyond the
    // buffer are never read.
    return t->total == t->capacity ? take : n;
}

size_t on_header(char *data, size_t size, size_t count, void *raw) {
    auto *t = static_cast<transfer *>(raw);
    size_t n = size * count;
    // The empty line ends a header block; the response has arrived once a
    // final (non-1xx) block is complete.
    if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) t->headers_done = true;
    if (n > 5 && std::memcmp(data, "HTTP/", 5) == 0) t->headers_done = false;
    return n;
}

int on_progress(void *raw, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto *t = static_cast<transfer *>(raw);
    return t->cancel && t->cancel() ? 1 : 0;
}

// Splits "A: 1\r\nB: 2\r\n" into curl's list, each line without its line
// end. Lines beyond max_header_lines, or a block longer than the copy, fail.
bool add_extra_headers(const char *block, char *copy, curl_slist **list) {
    size_t len = std::strlen(block);
    if (len >= header_copy_size) return false;
    std::memcpy(copy, block, len + 1);
    size_t lines = 0;
    char *line = copy;
    while (*line) {
        char *end = std::strstr(line, "\r\n");
        char *next = end ? end + 2 : line + std::strlen(line);
        if (end) *end = '\0';
        if (*line) {
            if (++lines > max_header_lines) return false;
            curl_slist *grown = curl_slist_append(*list, line);
            if (!grown) return false;
            *list = grown;
        }
        line = next;
    }
    return true;
}

long whole_seconds_up(uint32_t ms) { return static_cast<long>((ms + 999u) / 1000u); }

// Drives the easy handle to its end, asking cancel between waits. False when
// the request was given up (cancelled, or the multi interface failed);
// otherwise *result is the transfer's own outcome.
bool run_transfer(CURL *easy, platform_https_cancel_fn cancel, CURLcode *result) {
    CURLM *multi = curl_multi_init();
    if (!multi) return false;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return false;
    }
    bool finished = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) break;
        if (running == 0) {
            finished = true;
            break;
        }
        if (cancel && cancel()) break;
        if (curl_multi_poll(multi, nullptr, 0, poll_slice_ms, nullptr) != CURLM_OK) break;
    }
    bool done = false;
    if (finished) {
        int left = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                *result = message->data.result;
                done = true;
            }
        }
    }
    curl_multi_remove_handle(multi, easy);
    curl_multi_cleanup(multi);
    return done;
}
}  // namespace

void platform_https_global_init() {
    // A magic static: one initialisation however many threads arrive first.
    static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)done;
}

bool platform_https_request(const platform_https_target &target, const char *user_agent,
                            const platform_https_timeouts &timeouts, const char *method, const char *path,
                            const char *extra_headers, const char *body, size_t body_length,
                            platform_https_cancel_fn cancel, uint32_t *status, char *response, size_t response_size) {
    *status = 0;
    response[0] = '\0';
    if (response_size == 0 || !target.host || !method || !path) return false;
    if (cancel && cancel()) return false;
    platform_https_global_init();

    char url[url_size];
    int url_len =
        std::snprintf(url, sizeof url, "https://%s:%u%s", target.host, static_cast<unsigned>(target.port), path);
    if (url_len < 0 || static_cast<size_t>(url_len) >= sizeof url) return false;

    CURL *easy = curl_easy_init();
    if (!easy) return false;

    curl_slist *headers = nullptr;
    bool ok = true;
    for (const char *line : curl_defaults_removed) {
        curl_slist *grown = curl_slist_append(headers, line);
        if (!grown) {
            ok = false;
            break;
        }
        headers = grown;
    }
    char header_copy[header_copy_size];
    if (ok && extra_headers && *extra_headers) ok = add_extra_headers(extra_headers, header_copy, &headers);

    transfer t{response, response_size - 1, 0, false, cancel};
    CURLcode result = CURLE_FAILED_INIT;
    bool over_deadline = false;
    bool given_up = false;
    if (ok) {
        curl_easy_setopt(easy, CURLOPT_URL, url);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // Trusted besides the system's store (curl keeps its CA folder).
        if (target.extra_ca_file && *target.extra_ca_file) curl_easy_setopt(easy, CURLOPT_CAINFO, target.extra_ca_file);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, user_agent);
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        if (body && body_length > 0) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_length));
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        }
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.resolve_ms + timeouts.connect_ms));
        uint32_t stall_ms = timeouts.send_ms > timeouts.receive_ms ? timeouts.send_ms : timeouts.receive_ms;
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, whole_seconds_up(stall_ms));
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total_ms));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);
        auto began = std::chrono::steady_clock::now();
        given_up = !run_transfer(easy, cancel, &result);
        // curl reports both a stall and the whole-request limit as a time-out;
        // only the stall leaves what arrived standing. curl's own clock may
        // call the limit a hair before this one does.
        over_deadline = result == CURLE_OPERATION_TIMEDOUT &&
                        std::chrono::steady_clock::now() - began + std::chrono::milliseconds(deadline_slack_ms) >=
                            std::chrono::milliseconds(timeouts.total_ms);
    }

    long code = 0;
    bool arrived = false;
    if (ok && !given_up && result != CURLE_ABORTED_BY_CALLBACK && !over_deadline) {
        if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) code = 0;
        // A response whose header block was complete counts, however the
        // body ended (the buffer full, a stall, the peer gone).
        arrived = t.headers_done && code >= http_success_floor;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);

    if (!arrived) {
        response[0] = '\0';
        return false;
    }
    *status = static_cast<uint32_t>(code);
    response[t.total] = '\0';
    return true;
}

// Requests here ask their cancel function every poll_slice_ms.
void platform_https_abandon_cancellable() {}
