// HTTPS through WinHTTP in a synchronous session: each request opens and
// closes its own session, connection and request handles.
//
// A cancellable request registers its request handle while it runs, so that
// shutdown can close it: a blocked synchronous call on a closed handle
// returns at once. The owner marks each blocking call under the registry
// lock and, once abandoned, never touches the request handle again; only the
// owner closes the connection and session handles.
#include "../platform.h"

#include <windows.h>
#include <winhttp.h>

namespace {
// UTF-16 buffers, terminator included (method, path and headers: platform.h).
constexpr int method_units = static_cast<int>(platform_https_method_units);
constexpr int path_units = static_cast<int>(platform_https_path_units);
constexpr int header_units = static_cast<int>(platform_https_header_units);
constexpr int host_units = 256;
constexpr int agent_units = 64;
// Requests under way at once that shutdown can abandon; one more runs
// unregistered and ends by its time-outs instead.
constexpr size_t max_registered = 8;

struct registered_request {
    bool used;
    bool in_call;    // the owner is (about to be) inside a blocking call
    bool abandoned;  // set by shutdown; the handle below is then closed
    HINTERNET request;
};

SRWLOCK registry_lock = SRWLOCK_INIT;
registered_request registry[max_registered] = {};

registered_request *register_request(HINTERNET request) {
    registered_request *slot = nullptr;
    AcquireSRWLockExclusive(&registry_lock);
    for (auto &r : registry) {
        if (!r.used) {
            r = registered_request{true, false, false, request};
            slot = &r;
            break;
        }
    }
    ReleaseSRWLockExclusive(&registry_lock);
    return slot;
}

// Before a blocking call: false when the request has been abandoned.
bool enter_call(registered_request *slot, platform_https_cancel_fn cancel) {
    if (cancel && cancel()) {
        if (!slot) return false;
        AcquireSRWLockExclusive(&registry_lock);
        slot->abandoned = true;  // the owner itself gives up; the handle is still open
        ReleaseSRWLockExclusive(&registry_lock);
        return false;
    }
    if (!slot) return true;
    AcquireSRWLockExclusive(&registry_lock);
    bool go = !slot->abandoned;
    slot->in_call = go;
    ReleaseSRWLockExclusive(&registry_lock);
    return go;
}

// After a blocking call: false when it was cut short by an abandon.
bool leave_call(registered_request *slot) {
    if (!slot) return true;
    AcquireSRWLockExclusive(&registry_lock);
    slot->in_call = false;
    bool go = !slot->abandoned;
    ReleaseSRWLockExclusive(&registry_lock);
    return go;
}

// Closes the request handle unless shutdown already did, and frees the slot.
void close_request(registered_request *slot, HINTERNET request) {
    if (!slot) {
        if (request) WinHttpCloseHandle(request);
        return;
    }
    AcquireSRWLockExclusive(&registry_lock);
    if (slot->request) WinHttpCloseHandle(slot->request);
    *slot = registered_request{};
    ReleaseSRWLockExclusive(&registry_lock);
}

bool widen(const char *text, wchar_t *out, int units) {
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, units) > 0;
}
}  // namespace

void platform_https_global_init() {}

bool platform_https_request(const platform_https_target &target, const char *user_agent,
                            const platform_https_timeouts &timeouts, const char *method, const char *path,
                            const char *extra_headers, const char *body, size_t body_length,
                            platform_https_cancel_fn cancel, uint32_t *status, char *response, size_t response_size) {
    *status = 0;
    response[0] = '\0';
    if (response_size == 0 || !target.host || !method || !path || !user_agent) return false;
    if (body_length > MAXDWORD) return false;

    wchar_t wide_method[method_units];
    wchar_t wide_path[path_units];
    wchar_t wide_headers[header_units];
    wchar_t wide_host[host_units];
    wchar_t wide_agent[agent_units];
    bool has_headers = extra_headers && *extra_headers;
    if (!widen(method, wide_method, method_units) || !widen(path, wide_path, path_units) ||
        (has_headers && !widen(extra_headers, wide_headers, header_units)) ||
        !widen(target.host, wide_host, host_units) || !widen(user_agent, wide_agent, agent_units))
        return false;

    HINTERNET session =
        WinHttpOpen(wide_agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    (void)WinHttpSetTimeouts(session, static_cast<int>(timeouts.resolve_ms), static_cast<int>(timeouts.connect_ms),
                             static_cast<int>(timeouts.send_ms), static_cast<int>(timeouts.receive_ms));

    HINTERNET connection = WinHttpConnect(session, wide_host, target.port, 0);
    HINTERNET request = nullptr;
    if (connection)
        request = WinHttpOpenRequest(connection, wide_method, wide_path, nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    registered_request *slot = request && cancel ? register_request(request) : nullptr;

    DWORD length = body && body_length > 0 ? static_cast<DWORD>(body_length) : 0;
    bool sent = false;
    if (request && enter_call(slot, cancel)) {
        void *optional = length > 0 ? const_cast<char *>(body) : WINHTTP_NO_REQUEST_DATA;
        BOOL done =
            has_headers
                ? WinHttpSendRequest(request, wide_headers, static_cast<DWORD>(-1L), optional, length, length, 0)
                : WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, optional, length, length, 0);
        sent = leave_call(slot) && done;
    }
    bool received = false;
    if (sent && enter_call(slot, cancel)) {
        BOOL done = WinHttpReceiveResponse(request, nullptr);
        received = leave_call(slot) && done;
    }

    bool ok = false;
    if (received) {
        DWORD code = 0;
        DWORD code_size = sizeof code;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size, WINHTTP_NO_HEADER_INDEX))
            code = 0;

        size_t capacity = response_size - 1;
        size_t total = 0;
        ok = true;
        while (total < capacity) {
            if (!enter_call(slot, cancel)) {
                ok = false;
                break;
            }
            DWORD got = 0;
            BOOL done = WinHttpReadData(request, response + total, static_cast<DWORD>(capacity - total), &got);
            if (!leave_call(slot)) {
                ok = false;
                break;
            }
            if (!done || got == 0) break;
            total += got;
        }
        if (ok) {
            response[total] = '\0';
            *status = code;
        } else {
            response[0] = '\0';
        }
    }

    close_request(slot, request);
    if (connection) WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

void platform_https_abandon_cancellable() {
    AcquireSRWLockExclusive(&registry_lock);
    for (auto &r : registry) {
        if (!r.used || r.abandoned) continue;
        r.abandoned = true;
        // A request between two calls sees the mark before its next one;
        // only one inside a call needs its handle closed to wake it.
        if (r.in_call && r.request) {
            WinHttpCloseHandle(r.request);
            r.request = nullptr;
        }
    }
    ReleaseSRWLockExclusive(&registry_lock);
}
