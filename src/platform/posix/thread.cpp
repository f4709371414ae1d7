// Threads and the lock on POSIX. The library is linked with -z nodelete, so a
// worker that outlives the host's dlclose keeps running in mapped code.
#include "../platform.h"
#include "../thread_slots.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <new>

static_assert(sizeof(pthread_mutex_t) <= sizeof(platform_lock::storage));
static_assert(sizeof(pthread_t) <= sizeof(uintptr_t));

namespace {
pthread_mutex_t *mutex_of(platform_lock *lock) {
    return std::launder(reinterpret_cast<pthread_mutex_t *>(lock->storage));
}

void *trampoline(void *raw) {
    auto *slot = static_cast<thread_slot *>(raw);
    if (slot->name) pthread_setname_np(pthread_self(), slot->name);
    slot->fn(slot->arg);
    thread_slot_release(slot);
    return nullptr;
}
}  // namespace

void platform_lock_init(platform_lock *lock) {
    new (lock->storage) pthread_mutex_t;
    pthread_mutex_init(mutex_of(lock), nullptr);
}

void platform_lock_enter(platform_lock *lock) { pthread_mutex_lock(mutex_of(lock)); }
void platform_lock_leave(platform_lock *lock) { pthread_mutex_unlock(mutex_of(lock)); }

bool platform_thread_start(platform_thread *out, platform_thread_fn fn, void *arg, const char *name) {
    *out = nullptr;
    thread_slot *slot = thread_slot_acquire(fn, arg, name);
    if (!slot) return false;
    pthread_t id;
    if (pthread_create(&id, nullptr, trampoline, slot) != 0) {
        slot->refs.store(0);
        return false;
    }
    slot->os_id = static_cast<uintptr_t>(id);
    *out = slot;
    return true;
}

bool platform_thread_wait(platform_thread thread, uint32_t timeout_ms) {
    auto *slot = static_cast<thread_slot *>(thread);
    if (!slot || slot->os_id == 0) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc;
    do {
        rc = pthread_timedjoin_np(static_cast<pthread_t>(slot->os_id), nullptr, &deadline);
    } while (rc == EINTR);
    if (rc != 0) return false;
    slot->os_id = 0;  // joined: nothing left to detach
    return true;
}

void platform_thread_close(platform_thread thread) {
    auto *slot = static_cast<thread_slot *>(thread);
    if (!slot) return;
    if (slot->os_id != 0) pthread_detach(static_cast<pthread_t>(slot->os_id));
    slot->os_id = 0;
    thread_slot_release(slot);
}
