// The wake-up signal on POSIX: a mutex, a condition variable on the
// monotonic clock and the count they guard.
#include "../platform.h"
#include "../time_scale.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

namespace {
struct signal_record {
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    uint32_t count;
};
static_assert(sizeof(signal_record) <= sizeof(platform_signal::storage));

signal_record *record_of(platform_signal *signal) {
    return std::launder(reinterpret_cast<signal_record *>(signal->storage));
}
}  // namespace

void platform_signal_init(platform_signal *signal) {
    auto *r = new (signal->storage) signal_record;
    pthread_mutex_init(&r->mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // A wall-clock step must not stretch or cut a wait.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&r->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    r->count = 0;
}

uint32_t platform_signal_count(platform_signal *signal) {
    signal_record *r = record_of(signal);
    pthread_mutex_lock(&r->mutex);
    uint32_t count = r->count;
    pthread_mutex_unlock(&r->mutex);
    return count;
}

void platform_signal_raise(platform_signal *signal) {
    signal_record *r = record_of(signal);
    pthread_mutex_lock(&r->mutex);
    ++r->count;
    pthread_cond_broadcast(&r->changed);
    pthread_mutex_unlock(&r->mutex);
}

bool platform_signal_wait(platform_signal *signal, uint32_t seen, uint32_t ms) {
    signal_record *r = record_of(signal);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    uint32_t real = time_scale::real_ms(ms);
    deadline.tv_sec += real / 1000;
    deadline.tv_nsec += static_cast<long>(real % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&r->mutex);
    int rc = 0;
    while (r->count == seen && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&r->changed, &r->mutex, &deadline);
    bool changed = r->count != seen;
    pthread_mutex_unlock(&r->mutex);
    return changed;
}
