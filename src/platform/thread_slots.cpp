#include "thread_slots.h"

namespace {
thread_slot slots[thread_slot_count];
}

thread_slot *thread_slot_acquire(platform_thread_fn fn, void *arg, const char *name) {
    for (auto &slot : slots) {
        int expected = 0;
        if (slot.refs.compare_exchange_strong(expected, 2)) {
            slot.fn = fn;
            slot.arg = arg;
            slot.name = name;
            slot.os_handle = nullptr;
            slot.os_id = 0;
            return &slot;
        }
    }
    return nullptr;
}

void thread_slot_release(thread_slot *slot) { slot->refs.fetch_sub(1); }
