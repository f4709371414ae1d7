// HTTPS through WinHTTP in asynchronous mode, so that the requesting thread
// only ever waits on an event of its own: each phase (send, response
// headers, each read) is started, then awaited in short slices against the
// request's deadline and, for a worker's request, its cancel function and
// shutdown's abandon. WinHTTP has no bound on a whole request, and a
// synchronous call on a server that drips bytes can block for ever (Wine
// does not even wake it when its handle is closed).
//
// A request given up closes its handles and returns at once; WinHTTP ends
// the phase under way in the background and reports the request handle
// closed later. Everything WinHTTP may still touch by then (the body it
// sends, the buffer it reads into, the completion record) lives in a static
// slot that only that report frees, never on the caller's stack. The library
// is pinned once it makes requests, as the Linux library is never unloaded,
// so a late report never runs in unmapped code.
#include "../platform.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>

namespace {
// UTF-16 buffers, terminator included (method, path and headers: platform.h).
constexpr int method_units = static_cast<int>(platform_https_method_units);
constexpr int path_units = static_cast<int>(platform_https_path_units);
constexpr int header_units = static_cast<int>(platform_https_header_units);
constexpr int host_units = 256;
constexpr int agent_units = 64;
// Requests under way, or given up and not yet closed by WinHTTP, at once;
// one more fails at once.
constexpr size_t max_requests = 16;
constexpr size_t max_body = platform_https_max_body;
constexpr size_t read_chunk = 4096;
// Real milliseconds between looks at the cancel function.
constexpr DWORD wait_slice_ms = 50;

enum class phase_end { completed, failed, given_up };

struct request_slot {
    volatile LONG used;         // 1 from the start of a request until WinHTTP closes its handle
    volatile LONG cancellable;  // a worker's request, which shutdown abandons
    volatile LONG abandoned;    // set by shutdown
    HANDLE done;                // auto-reset, set when the phase under way ends; kept for the next request
    // Written by the status callback before it sets `done`.
    DWORD completion;
    DWORD bytes;
    char body[max_body];
    wchar_t headers[header_units];
    char chunk[read_chunk];
};

request_slot slots[max_requests] = {};

request_slot *take_slot(bool cancellable) {
    for (auto &s : slots) {
        if (InterlockedCompareExchange(&s.used, 1, 0) != 0) continue;
        if (!s.done) s.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!s.done) {
            InterlockedExchange(&s.used, 0);
            return nullptr;
        }
        InterlockedExchange(&s.abandoned, 0);
        InterlockedExchange(&s.cancellable, cancellable ? 1 : 0);
        ResetEvent(s.done);
        return &s;
    }
    return nullptr;
}

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD info_length) {
    auto *slot = reinterpret_cast<request_slot *>(context);
    if (!slot) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            slot->completion = status;
            slot->bytes = status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE            ? info_length
                          : status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE && info ? *static_cast<DWORD *>(info)
                                                                                     : 0;
            SetEvent(slot->done);
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            // The last report for this request: WinHTTP is done with the slot.
            InterlockedExchange(&slot->cancellable, 0);
            InterlockedExchange(&slot->used, 0);
            break;
        default:
            break;
    }
}

void pin_own_module() {
    static const bool pinned = [] {
        HMODULE self = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                  reinterpret_cast<LPCWSTR>(&on_status), &self) != 0;
    }();
    (void)pinned;
}

bool widen(const char *text, wchar_t *out, int units) {
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, units) > 0;
}

// Waits for the phase just started to end with `expected`.
phase_end await_phase(request_slot *slot, DWORD expected, ULONGLONG deadline, platform_https_cancel_fn cancel) {
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return phase_end::given_up;
        if (InterlockedCompareExchange(&slot->abandoned, 0, 0) != 0 || (cancel && cancel())) return phase_end::given_up;
        ULONGLONG left = deadline - now;
        DWORD slice = left < wait_slice_ms ? static_cast<DWORD>(left) : wait_slice_ms;
        if (WaitForSingleObject(slot->done, slice) != WAIT_OBJECT_0) continue;
        // Shutdown wakes the owner too; its mark wins over any completion.
        if (InterlockedCompareExchange(&slot->abandoned, 0, 0) != 0) return phase_end::given_up;
        return slot->completion == expected ? phase_end::completed : phase_end::failed;
    }
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
    if (body_length > max_body) return false;
    ULONGLONG deadline = GetTickCount64() + timeouts.total_ms;

    wchar_t wide_method[method_units];
    wchar_t wide_path[path_units];
    wchar_t wide_host[host_units];
    wchar_t wide_agent[agent_units];
    if (!widen(method, wide_method, method_units) || !widen(path, wide_path, path_units) ||
        !widen(target.host, wide_host, host_units) || !widen(user_agent, wide_agent, agent_units))
        return false;
    bool has_headers = extra_headers && *extra_headers;

    pin_own_module();
    request_slot *slot = take_slot(cancel != nullptr);
    if (!slot) return false;
    if (has_headers && !widen(extra_headers, slot->headers, header_units)) {
        InterlockedExchange(&slot->cancellable, 0);
        InterlockedExchange(&slot->used, 0);
        return false;
    }
    DWORD length = body && body_length > 0 ? static_cast<DWORD>(body_length) : 0;
    if (length > 0) std::memcpy(slot->body, body, length);

    HINTERNET session = WinHttpOpen(wide_agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    if (session) {
        (void)WinHttpSetTimeouts(session, static_cast<int>(timeouts.resolve_ms), static_cast<int>(timeouts.connect_ms),
                                 static_cast<int>(timeouts.send_ms), static_cast<int>(timeouts.receive_ms));
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        (void)WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
        connection = WinHttpConnect(session, wide_host, target.port, 0);
    }
    if (connection)
        request = WinHttpOpenRequest(connection, wide_method, wide_path, nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);

    // From here on the slot is freed by WinHTTP's closing report alone.
    bool reporting = false;
    bool ready = false;
    if (request) {
        auto context = reinterpret_cast<DWORD_PTR>(slot);
        reporting = WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
                    WinHttpSetStatusCallback(request, on_status,
                                             WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                             0) != WINHTTP_INVALID_STATUS_CALLBACK;
        // A 3xx is the answer: following it would carry the headers (the
        // link secret among them) to whatever address it names.
        DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
        ready =
            reporting && WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);
    }

    phase_end sent = phase_end::failed;
    if (ready) {
        void *optional = length > 0 ? slot->body : WINHTTP_NO_REQUEST_DATA;
        auto context = reinterpret_cast<DWORD_PTR>(slot);
        ResetEvent(slot->done);
        BOOL started =
            has_headers
                ? WinHttpSendRequest(request, slot->headers, static_cast<DWORD>(-1L), optional, length, length, context)
                : WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, optional, length, length, context);
        if (started) sent = await_phase(slot, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, deadline, cancel);
    }
    phase_end received = phase_end::failed;
    if (sent == phase_end::completed) {
        ResetEvent(slot->done);
        if (WinHttpReceiveResponse(request, nullptr))
            received = await_phase(slot, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, deadline, cancel);
    }

    bool ok = false;
    if (received == phase_end::completed) {
        DWORD code = 0;
        DWORD code_size = sizeof code;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size, WINHTTP_NO_HEADER_INDEX))
            code = 0;

        size_t capacity = response_size - 1;
        size_t total = 0;
        ok = true;
        // Asks what has arrived, then reads exactly that: a read of more may
        // wait for bytes that never come and lose those that did.
        while (total < capacity) {
            ResetEvent(slot->done);
            if (!WinHttpQueryDataAvailable(request, nullptr)) break;
            phase_end ready_to_read = await_phase(slot, WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, deadline, cancel);
            // A failure while reading only ends the body; running out of
            // time or being abandoned ends the whole request.
            if (ready_to_read == phase_end::given_up) ok = false;
            if (ready_to_read != phase_end::completed || slot->bytes == 0) break;
            size_t room = capacity - total;
            size_t limit = room < read_chunk ? room : read_chunk;
            DWORD want = static_cast<DWORD>(slot->bytes < limit ? slot->bytes : limit);
            ResetEvent(slot->done);
            if (!WinHttpReadData(request, slot->chunk, want, nullptr)) break;
            phase_end read = await_phase(slot, WINHTTP_CALLBACK_STATUS_READ_COMPLETE, deadline, cancel);
            if (read == phase_end::given_up) ok = false;
            if (read != phase_end::completed || slot->bytes == 0) break;
            DWORD got = slot->bytes < want ? slot->bytes : want;
            std::memcpy(response + total, slot->chunk, got);
            total += got;
        }
        if (ok) {
            response[total] = '\0';
            *status = code;
        } else {
            response[0] = '\0';
        }
    }

    if (request) WinHttpCloseHandle(request);
    if (!reporting) {
        InterlockedExchange(&slot->cancellable, 0);
        InterlockedExchange(&slot->used, 0);
    }
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    return ok;
}

void platform_https_abandon_cancellable() {
    // The owner sees the mark within one wait slice; the event wakes it now.
    for (auto &s : slots) {
        if (InterlockedCompareExchange(&s.used, 0, 0) == 0 || InterlockedCompareExchange(&s.cancellable, 0, 0) == 0)
            continue;
        InterlockedExchange(&s.abandoned, 1);
        SetEvent(s.done);
    }
}
