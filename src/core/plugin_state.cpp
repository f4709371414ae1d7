#include "plugin_state.h"

#include "text.h"

#include <cstring>

plugin_state g_state;

namespace {
// Set once by the first init; the lock is never destroyed after that.
std::atomic<bool> lock_initialised{false};

// Fibonacci hashing: the top bits of id times 2^32 / phi spread ids that
// Mumble hands out in sequence evenly over the index.
constexpr unsigned user_index_bits = 10;
static_assert(size_t{1} << user_index_bits == user_index_size);
constexpr uint32_t fibonacci_multiplier = 2654435769u;

size_t user_index_home(uint32_t user_id) { return (user_id * fibonacci_multiplier) >> (32 - user_index_bits); }
size_t user_index_next(size_t slot) { return (slot + 1) & (user_index_size - 1); }

// The index of `count` entries; a later entry of an id already indexed is
// left out, so the first one wins as in a search from the front.
void build_user_index(const user_hash_entry *entries, size_t count, uint16_t *index) {
    std::memset(index, 0, user_index_size * sizeof(uint16_t));
    for (size_t i = 0; i < count; ++i) {
        size_t slot = user_index_home(entries[i].user_id);
        bool listed = false;
        for (; index[slot] != 0 && !listed; slot = user_index_next(slot))
            listed = entries[index[slot] - 1].user_id == entries[i].user_id;
        if (!listed) index[slot] = static_cast<uint16_t>(i + 1);
    }
}

}  // namespace

void state_lock_setup() {
    if (lock_initialised.load(std::memory_order_acquire)) return;
    platform_lock_init(&g_state.state_lock);
    platform_signal_init(&g_state.wake_signal);
    lock_initialised.store(true, std::memory_order_release);
}

void state_lock_enter() { platform_lock_enter(&g_state.state_lock); }
void state_lock_leave() { platform_lock_leave(&g_state.state_lock); }

bool state_lock_available() { return lock_initialised.load(std::memory_order_acquire); }

bool is_running() {
    int32_t expected = 1;
    return g_state.running.compare_exchange_strong(expected, 1);
}

bool worker_is_current(uint32_t generation) { return is_running() && g_state.worker_generation.load() == generation; }

namespace {
// Slices of at most worker_slice_ms on the wake signal, so that a stop (which
// wakes too) is seen at once; with `since`, any wake after it ends the wait.
bool wait_in_slices(uint32_t generation, uint32_t ms, const uint32_t *since) {
    uint32_t start = platform_ticks();
    for (;;) {
        if (!worker_is_current(generation)) return false;
        uint32_t seen = platform_signal_count(&g_state.wake_signal);
        if (since && seen != *since) return true;
        uint32_t elapsed = platform_ticks() - start;
        if (elapsed >= ms) return true;
        uint32_t slice = ms - elapsed;
        platform_signal_wait(&g_state.wake_signal, seen, slice < worker_slice_ms ? slice : worker_slice_ms);
    }
}
}  // namespace

bool worker_wait(uint32_t generation, uint32_t ms) { return wait_in_slices(generation, ms, nullptr); }

bool worker_wait_for_change(uint32_t generation, uint32_t ms, uint32_t since) {
    return wait_in_slices(generation, ms, &since);
}

void workers_wake() { platform_signal_raise(&g_state.wake_signal); }

uint32_t workers_wake_count() { return platform_signal_count(&g_state.wake_signal); }

namespace {
thread_local bool this_thread_is_worker = false;
thread_local uint32_t this_thread_generation = 0;
}  // namespace

void worker_thread_begin(uint32_t generation) {
    this_thread_is_worker = true;
    this_thread_generation = generation;
}

bool on_worker_thread() { return this_thread_is_worker; }

bool worker_thread_stopping() { return this_thread_is_worker && !worker_is_current(this_thread_generation); }

bool worker_state_enter() {
    state_lock_enter();
    if (!this_thread_is_worker || g_state.worker_generation.load() == this_thread_generation) return true;
    state_lock_leave();
    return false;
}

log_permission thread_log_permission() {
    if (!this_thread_is_worker) return log_permission::host_and_file;
    if (g_state.worker_generation.load() != this_thread_generation) return log_permission::none;
    return is_running() ? log_permission::host_and_file : log_permission::file_only;
}

void publish_user_hashes(const user_hash_entry *entries, size_t count) {
    if (count > max_user_hashes) count = max_user_hashes;
    // Digests and index first, outside the lock: the hold stays a copy and
    // one index probe per user.
    static uint64_t digests[max_user_hashes];
    static uint16_t index[user_index_size];
    static applied_factors applied[max_user_hashes];
    for (size_t i = 0; i < count; ++i)
        digests[i] = case_fold_digest(entries[i].hash);
    build_user_index(entries, count, index);
    state_lock_enter();
    // The audio thread writes the applied factors, so they move to the new
    // positions under the same hold that publishes the table.
    for (size_t i = 0; i < count; ++i) {
        size_t before = user_position(entries[i].user_id);
        applied[i] = before < max_user_hashes ? g_state.user_applied[before] : applied_factors{};
    }
    if (count > 0) {
        std::memcpy(g_state.user_hash_table, entries, count * sizeof(user_hash_entry));
        std::memcpy(g_state.user_hash_digest, digests, count * sizeof(uint64_t));
        std::memcpy(g_state.user_applied, applied, count * sizeof(applied_factors));
    }
    std::memcpy(g_state.user_index, index, sizeof index);
    g_state.user_hash_count = count;
    state_lock_leave();
}

size_t user_position(uint32_t user_id) {
    for (size_t slot = user_index_home(user_id); g_state.user_index[slot] != 0; slot = user_index_next(slot)) {
        const size_t position = g_state.user_index[slot] - 1u;
        if (position < g_state.user_hash_count && g_state.user_hash_table[position].user_id == user_id) return position;
    }
    return max_user_hashes;
}

void forget_server() {
    g_state.connection_id = -1;
    g_state.identity_hash[0] = '\0';
    g_state.user_hash_count = 0;
    g_state.speaker_count = 0;
    clear_applied_factors();
}

void clear_applied_factors() { std::memset(g_state.user_applied, 0, sizeof g_state.user_applied); }

void forget_applied_factors() {
    state_lock_enter();
    clear_applied_factors();
    state_lock_leave();
}

bool user_hash_known(uint32_t user_id) {
    state_lock_enter();
    const bool known = user_position(user_id) < max_user_hashes;
    state_lock_leave();
    return known;
}

const char *worker_identity() { return g_state.identity_settling != 0 ? "" : g_state.identity_hash; }
