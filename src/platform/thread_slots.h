// A fixed pool of thread records shared by both implementations: a thread
// needs its function and argument somewhere that outlives the creator's call,
// and the plugin keeps none of its own state on the heap.
#pragma once

#include "platform.h"

#include <atomic>

struct thread_slot {
    platform_thread_fn fn = nullptr;
    void *arg = nullptr;
    const char *name = nullptr;  // a literal, or null
    void *os_handle = nullptr;   // HANDLE on Windows; unused on POSIX
    uintptr_t os_id = 0;         // pthread_t on POSIX
    // One reference for the running thread, one for the handle; the slot is
    // free again when both are given up.
    std::atomic<int> refs{0};
};

// Enough for both workers of several init/shutdown rounds whose workers
// overran their wait and still run detached.
constexpr int thread_slot_count = 16;

thread_slot *thread_slot_acquire(platform_thread_fn fn, void *arg, const char *name);
void thread_slot_release(thread_slot *slot);
