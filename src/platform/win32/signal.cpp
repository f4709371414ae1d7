// The wake-up signal on Windows: a critical section and a condition
// variable, neither of which holds a handle.
#include "../platform.h"
#include "../time_scale.h"

#include <windows.h>

#include <new>

namespace {
struct signal_record {
    CRITICAL_SECTION section;
    CONDITION_VARIABLE changed;
    uint32_t count;
};
static_assert(sizeof(signal_record) <= sizeof(platform_signal::storage));

signal_record *record_of(platform_signal *signal) {
    return std::launder(reinterpret_cast<signal_record *>(signal->storage));
}
}  // namespace

void platform_signal_init(platform_signal *signal) {
    auto *r = new (signal->storage) signal_record;
    InitializeCriticalSection(&r->section);
    InitializeConditionVariable(&r->changed);
    r->count = 0;
}

uint32_t platform_signal_count(platform_signal *signal) {
    signal_record *r = record_of(signal);
    EnterCriticalSection(&r->section);
    uint32_t count = r->count;
    LeaveCriticalSection(&r->section);
    return count;
}

void platform_signal_raise(platform_signal *signal) {
    signal_record *r = record_of(signal);
    EnterCriticalSection(&r->section);
    ++r->count;
    LeaveCriticalSection(&r->section);
    WakeAllConditionVariable(&r->changed);
}

bool platform_signal_wait(platform_signal *signal, uint32_t seen, uint32_t ms) {
    signal_record *r = record_of(signal);
    ULONGLONG deadline = GetTickCount64() + time_scale::real_ms(ms);
    EnterCriticalSection(&r->section);
    for (;;) {
        if (r->count != seen) break;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        // A spurious or timed-out wake just looks again.
        SleepConditionVariableCS(&r->changed, &r->section, static_cast<DWORD>(deadline - now));
    }
    bool changed = r->count != seen;
    LeaveCriticalSection(&r->section);
    return changed;
}
