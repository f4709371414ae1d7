// The one process-wide state record, its lock, and the lifecycle that Mumble
// drives through registerAPIFunctions, init and shutdown.
#pragma once

#include "../abi/mumble_abi.h"
#include "../platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr size_t max_speakers = 512;
constexpr size_t max_user_hashes = 512;
constexpr size_t hash_size = 128;
constexpr size_t credential_size = 192;
constexpr size_t host_size = 256;
constexpr size_t api_key_size = 256;
constexpr size_t path_size = 1024;

struct speaker_entry {
    char hash[hash_size];
    float gain;
    float pan;
};

struct user_hash_entry {
    uint32_t user_id;
    char hash[hash_size];
};

// The per-channel factors the audio path applied last to one user, so that
// a change can glide instead of step.
struct applied_factors {
    float left;         // channel 0 of two or more
    float right;        // channel 1
    float rest;         // mono, and channels 2 and up
    uint16_t channels;  // 0: nothing remembered
    // Position + 1 of the user's speaker entry when last found (0: none).
    // Only a hint: the entry is checked before it is trusted.
    uint16_t speaker_slot;
};

// Open-addressing index from user id to user table position; a power of
// two, twice the table so probes stay short.
constexpr size_t user_index_size = 2 * max_user_hashes;

struct plugin_state {
    // Host link
    uint32_t plugin_id = 0;
    mumble_api_table api_table{};
    uint8_t api_registered = 0;
    int32_t connection_id = -1;

    // Lock, threads and network. The lock is initialised once and never
    // destroyed while the library is loaded: Mumble may run the audio callback
    // during and just after shutdown, and a worker that overran its wait may
    // still reach for it.
    platform_lock state_lock{};
    uint8_t lock_ready = 0;
    std::atomic<int32_t> running{0};
    platform_thread falloff_thread = nullptr;
    platform_thread identity_thread = nullptr;
    uint8_t network_ready = 0;
    platform_socket falloff_socket = platform_invalid_socket;
    // Bumped by each end of the falloff connection that the plugin itself
    // causes from the host's events, with the end reason to log for it: a
    // falloff worker's pass that sees it change was no outage.
    uint32_t falloff_own_end_count = 0;
    const char *falloff_own_end_reason = "";

    // Raised whenever something a waiting worker acts on changes; see
    // workers_wake. Set up with the lock, never torn down.
    platform_signal wake_signal{};
    // True from the end of init to the start of shutdown: outside it the
    // audio path leaves every voice as Mumble gave it.
    std::atomic<bool> session_active{false};

    // Bumped (under the lock) by every shutdown. A worker remembers the value
    // it was started under; when they differ it belongs to an ended session
    // and must leave the state, the host and the lock's contents alone.
    std::atomic<uint32_t> worker_generation{0};

    // Configuration and files
    char server_host[host_size] = {};
    int32_t server_port = 0;
    char api_key[api_key_size] = {};
    uint8_t enabled = 0;
    uint8_t debug_log = 0;
    int32_t reconnect_sec = 0;
    char plugin_dir[path_size] = {};
    char ini_path[path_size] = {};
    char log_path[path_size] = {};
    char client_id_path[path_size] = {};
    char token_path[path_size] = {};

    // Identity, credential and tables
    char identity_hash[hash_size] = {};
    // 1 while a synchronize is settling the identity: the one held may be the
    // last server's, so the workers treat it as none until it is settled.
    uint8_t identity_settling = 0;
    char credential[credential_size] = {};
    speaker_entry speaker_table[max_speakers] = {};
    size_t speaker_count = 0;
    user_hash_entry user_hash_table[max_user_hashes] = {};
    size_t user_hash_count = 0;
    // case_fold_digest of each entry's hash, written with the entry: the
    // audio path's search compares these before whole texts.
    uint64_t speaker_digest[max_speakers] = {};
    uint64_t user_hash_digest[max_user_hashes] = {};

    // Gain and pan glide. user_applied[i] belongs to user_hash_table[i] and
    // moves with its user when the table is rebuilt. user_index holds
    // position + 1 (0: empty) of the first entry of each user id; a position
    // is checked against the table before use, so clearing the count alone
    // leaves it harmless. Both under the lock.
    uint8_t smooth_transitions = 1;
    applied_factors user_applied[max_user_hashes] = {};
    uint16_t user_index[user_index_size] = {};
};

extern plugin_state g_state;

// The lock exists from the first init until the library is unloaded;
// setup initialises it once (init calls it; so may unit tests).
void state_lock_setup();
void state_lock_enter();
void state_lock_leave();

// True while the workers are to run (compare-exchange of 1 with 1).
bool is_running();

// True while a worker started under `generation` still belongs to the
// current session.
bool worker_is_current(uint32_t generation);

// Host function slots, typed by their index; null when the table is not
// registered or the slot is empty.
template <size_t Slot>
typename api_slot_type<Slot>::type api_slot() {
    if (g_state.api_registered != 1) return nullptr;
    return reinterpret_cast<typename api_slot_type<Slot>::type>(g_state.api_table.slots[Slot]);
}

// The lock has been initialised by some init (it is never destroyed).
bool state_lock_available();

// Workers wait in slices of at most this, looking at `running` before each.
constexpr uint32_t worker_slice_ms = 200;

// Waits ms of plugin time in slices; false as soon as the worker started
// under `generation` is to stop.
bool worker_wait(uint32_t generation, uint32_t ms);

// Something that a waiting worker acts on has changed: a server was
// synchronized, a credential arrived or was revoked, the session is
// stopping. Every worker's wait looks again at once. Any thread; no lock held.
void workers_wake();
// The number of wakes so far, read before a worker looks at the state.
uint32_t workers_wake_count();
// worker_wait that also ends, returning true, as soon as a wake has come
// since the count `since` was read: a pause that is no longer owed (the
// state it waited on has changed) ends at once rather than polling faster.
bool worker_wait_for_change(uint32_t generation, uint32_t ms, uint32_t since);

// Marks the calling thread as a worker of `generation`. Logging from a worker
// is then kept from the host once shutdown has begun (the host thread may be
// waiting for this very worker) and dropped altogether once the worker is
// stale (a later init may be rewriting the paths).
void worker_thread_begin(uint32_t generation);

// True on a thread that worker_thread_begin marked.
bool on_worker_thread();
// True on a worker thread whose session is stopping or over: its network
// call in progress may be given up.
bool worker_thread_stopping();

// Takes the lock for a change to the shared state. On a worker thread whose
// session has ended it takes nothing and returns false: the caller skips the
// change. Other threads always get the lock.
bool worker_state_enter();

enum class log_permission { host_and_file, file_only, none };
log_permission thread_log_permission();

// The identity a worker may use now: empty while a synchronize settles it.
// The caller holds the lock.
const char *worker_identity();

// True when the user hash table holds `user_id` (a short search under the lock).
bool user_hash_known(uint32_t user_id);

// Replaces the user hash table with `count` entries (at most 512) and their
// digests, in one hold of the lock. Users who stay keep their applied factors.
void publish_user_hashes(const user_hash_entry *entries, size_t count);

// Position of the first user table entry of `user_id`, or max_user_hashes
// when there is none. The caller holds the lock.
size_t user_position(uint32_t user_id);

// Forgets the Mumble server: the connection, the identity, both tables and
// every user's applied factors (a disconnect, shutdown). The caller holds
// the lock.
void forget_server();

// Forgets every user's applied factors (a new server, a disconnect, shutdown):
// the next buffer of each user gets the plain law. clear_ is for a caller
// that already holds the lock; forget_ takes it.
void clear_applied_factors();
void forget_applied_factors();
