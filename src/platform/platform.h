// The one interface between the plugin and the operating system. Everything
// below has a Win32 implementation (src/platform/win32) and a POSIX one
// (src/platform/posix); logic code includes only this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// ---- lock -------------------------------------------------------------------
// Opaque storage large enough for a critical section or a pthread mutex, so
// the state record can hold the lock without heap memory.
struct platform_lock {
    alignas(16) unsigned char storage[64];
};

void platform_lock_init(platform_lock *lock);
void platform_lock_enter(platform_lock *lock);
void platform_lock_leave(platform_lock *lock);

// ---- wake-up signal ---------------------------------------------------------
// A counter that threads wait on to change: raising it wakes every waiter at
// once. Static storage like the lock; no handle or heap behind it, and like
// the lock it is set up once and never torn down.
struct platform_signal {
    alignas(16) unsigned char storage[160];
};

void platform_signal_init(platform_signal *signal);
// The count now; a wait given this value ends at the next raise.
uint32_t platform_signal_count(platform_signal *signal);
// Counts one more and wakes every waiter. Callable from any thread.
void platform_signal_raise(platform_signal *signal);
// Waits at most ms (scaled) for the count to differ from `seen`; true when
// it does.
bool platform_signal_wait(platform_signal *signal, uint32_t seen, uint32_t ms);

// ---- threads ----------------------------------------------------------------
using platform_thread = void *;  // null = no thread
using platform_thread_fn = void (*)(void *arg);

// Prefix of the name of every thread the plugin starts, as debuggers and
// the system's thread lists show it.
constexpr const char *platform_thread_name_prefix = "qv-";

// Starts fn(arg) at once with the default stack size, named `name` (at most
// 15 characters; null for none). The thread keeps the plugin's own library
// loaded until fn has returned, so a thread that outlives the host's unload
// never runs in unmapped code.
bool platform_thread_start(platform_thread *out, platform_thread_fn fn, void *arg, const char *name = nullptr);
// Waits at most timeout_ms real milliseconds for the thread to end (the test
// time scale does not shorten it: on a loaded machine a thread that is
// ending must not be given up early); true when it ended.
bool platform_thread_wait(platform_thread thread, uint32_t timeout_ms);
// Gives the handle up; a thread still running goes on detached.
void platform_thread_close(platform_thread thread);

// ---- time and process -------------------------------------------------------
// Milliseconds of a monotonic clock, wrapping at 2^32. Under a test time
// scale the clock runs faster by that factor.
uint32_t platform_ticks();
// Sleeps ms of (scaled) time.
void platform_sleep(uint32_t ms);
uint32_t platform_process_id();
bool platform_local_time(time_t when, std::tm *out);

// Test-only time scale: ticks, sleeps, thread waits and socket time-outs run
// `factor` times faster. The shipped library never calls this (factor 1).
void platform_set_time_scale(double factor);
// A duration of `ms` scaled for the current factor (at least 1 ms when ms > 0).
uint32_t platform_scaled_ms(uint32_t ms);

// ---- module, environment ----------------------------------------------------
// Full file name of the plugin's own library into buf; returns the length as
// the OS reports it (0 on failure, >= size when the name was cut).
size_t platform_module_path(char *buf, size_t size);
// The path separator of the platform's file names.
char platform_path_separator();
// "windows" or "linux": the word of the start-up notice.
const char *platform_name();
// Copies the variable into buf. Returns its length when it fits, a value
// >= size when it does not (buf then undefined), 0 when unset or empty.
size_t platform_getenv(const char *name, char *buf, size_t size);
// Command-line argument `index` of main(argc, argv) as UTF-8 into buf (on
// Windows from the wide command line, so any file name survives). Returns
// its length when it fits, a value >= size when it does not, 0 when there
// is no such argument or it is empty.
size_t platform_program_argument(int argc, char **argv, int index, char *buf, size_t size);

// ---- files ------------------------------------------------------------------
// Paths are UTF-8 text everywhere in the plugin; Windows gets them as UTF-16
// through its wide calls.
//
// A data file is used only when it is a regular file. Opening never blocks,
// whatever the name leads to: a FIFO, a device or a folder is refused at
// once, so it counts as missing for reading and as not writable for writing.

// Opens `path` for binary reading.
std::FILE *platform_open_for_read(const char *path);
// Opens `path` for binary writing, created or truncated. A `secret` file is
// created readable by its owner only where the platform has such modes
// (POSIX 0600); on Windows it keeps the folder's permissions.
std::FILE *platform_open_for_write(const char *path, bool secret);
// Opens `path` for binary appending, created when missing; every write goes
// to the end of the file.
std::FILE *platform_open_for_append(const char *path);
// The size in bytes of an open file; false when it cannot be read.
bool platform_file_size(std::FILE *file, uint64_t *size);
// Forces the stream's written data to the disk (after fflush).
bool platform_flush_to_disk(std::FILE *file);
// Moves `from` over `to` in one step, replacing it, and returns only once
// the move is on the disk.
bool platform_replace_file(const char *from, const char *to);
bool platform_delete_file(const char *path);
// Creates the folder `path` (its parent must exist); true when it exists as a
// folder afterwards, also when it was there before.
bool platform_make_folder(const char *path);

// Calls fn with the name (UTF-8, without the folder) of every entry of
// `folder` but "." and "..". fn may delete the entry it is given. False when
// the folder cannot be read.
using platform_folder_entry_fn = void (*)(const char *name, void *context);
bool platform_list_folder(const char *folder, platform_folder_entry_fn fn, void *context);

// ---- network ----------------------------------------------------------------
using platform_socket = intptr_t;
constexpr platform_socket platform_invalid_socket = -1;

bool platform_network_startup();
void platform_network_cleanup();
// Shuts a socket down in both directions without closing it. Callable from
// any thread: a receive or send blocked on the socket returns at once.
void platform_socket_shutdown(platform_socket s);

// Asked before each slice of a connect's wait; true gives the connect up.
using platform_connect_cancel_fn = bool (*)();
// A connect waits at most this long (real milliseconds) between two
// questions to its cancel function.
constexpr uint32_t platform_connect_slice_ms = 200;

// Resolves host and port_text (a decimal port) over every address family and
// tries the addresses in the resolver's order; the first that accepts wins.
// Each address gets timeout_ms (scaled) to accept, waited in slices with
// `cancel` (may be null) asked before each; a cancelled connect fails like a
// refused one. The connected socket is blocking, with receive and send
// time-outs of timeout_ms (scaled). On success stores the socket in *out; on
// failure leaves *out alone and sets *resolve_failed when the name did not
// resolve.
bool platform_tcp_connect(const char *host, const char *port_text, uint32_t timeout_ms, platform_socket *out,
                          bool *resolve_failed, platform_connect_cancel_fn cancel = nullptr);
// One send or receive call: the count of bytes moved, 0 (receive: the peer
// closed), or -1 with the reason in platform_socket_error(). A send never
// raises a signal when the peer has gone.
int platform_socket_send(platform_socket s, const char *data, size_t len);
int platform_socket_recv(platform_socket s, char *out, size_t len);
// The platform's own error number of the last failed socket call on this
// thread (Winsock code on Windows, errno elsewhere).
int32_t platform_socket_error();
// True when err is what a socket time-out reports on this platform.
bool platform_error_is_timeout(int32_t err);
void platform_socket_close(platform_socket s);

// ---- random -----------------------------------------------------------------
// Fills n bytes from the operating system's cryptographic random source;
// false when that source failed (out is then unspecified). n = 0 succeeds.
bool platform_random_bytes(void *out, size_t n);

// ---- HTTPS ------------------------------------------------------------------
// One blocking HTTPS request through the platform's client: WinHTTP on
// Windows, libcurl elsewhere. TLS only, the peer's certificate and name
// checked against the system's trust, the platform's default proxy settings.
struct platform_https_target {
    const char *host;
    uint16_t port;
    // A PEM file of one more trust anchor, or null. Only the development
    // flavour passes one; Windows ignores it (there the anchor must be in
    // the machine's Root store, so the checks stay the system's own).
    const char *extra_ca_file;
};

// The Windows client's UTF-16 buffers for method, path and extra headers,
// terminator included. Callers hold every platform to them, so a request
// that Windows would refuse fails the same way everywhere.
constexpr size_t platform_https_method_units = 16;
constexpr size_t platform_https_path_units = 1024;
constexpr size_t platform_https_header_units = 1024;
// Windows keeps the body in a buffer of its own while a request runs.
constexpr size_t platform_https_max_body = 1024;

struct platform_https_timeouts {
    uint32_t resolve_ms, connect_ms, send_ms, receive_ms;  // real milliseconds
    // The whole request, whatever the server sends; a request still under
    // way then is abandoned and fails.
    uint32_t total_ms;
};

// Asked on the requesting thread while a request is under way, where the
// platform can ask: true abandons the request, which then fails.
using platform_https_cancel_fn = bool (*)();

// Once per process, before any thread that makes requests exists; further
// calls do nothing. A request also makes sure of it, so a request made before
// the plugin's init is still safe. Never undone: a request of an ended session
// may still be running when the plugin stops, and the library stays mapped.
void platform_https_global_init();

// Sends method, path (verbatim), the extra header block (complete lines each
// ending in "\r\n", passed unchanged; null for none) and body_length bytes
// of body (null or 0 for none) with the user agent. True when a response
// arrived, whatever its status: *status holds the code (0 when unreadable),
// response the first response_size - 1 body bytes and a NUL behind the last
// byte read; a failure while reading the body only ends the reading. False
// when no response arrived or the request was abandoned; *status and
// response are then 0 and empty. Every text is UTF-8; on Windows method,
// path and headers must convert to fewer UTF-16 units than the limits above,
// and the body is at most platform_https_max_body bytes.
// A cancellable request (cancel not null) is abandoned when cancel() answers
// true or when platform_https_abandon_cancellable() runs.
bool platform_https_request(const platform_https_target &target, const char *user_agent,
                            const platform_https_timeouts &timeouts, const char *method, const char *path,
                            const char *extra_headers, const char *body, size_t body_length,
                            platform_https_cancel_fn cancel, uint32_t *status, char *response, size_t response_size);

// From any thread: ends at once every cancellable request under way, where
// the platform can (Windows: its waiting owner is woken and gives the request
// up). Elsewhere a request notices its cancel function within about 50 ms
// by itself.
void platform_https_abandon_cancellable();

// ---- browser ----------------------------------------------------------------
// Asks the desktop to show `address` in the user's default browser. Returns
// soon, whatever the browser does; false when the request was refused.
bool platform_open_url(const char *address);
