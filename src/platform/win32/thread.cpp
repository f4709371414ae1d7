// Threads and the lock on Windows. Each worker holds a reference on the
// plugin's own module and drops it with FreeLibraryAndExitThread, so a worker
// that outlives the host's FreeLibrary never runs in unmapped code.
#include "../platform.h"
#include "../thread_slots.h"

#include <windows.h>

#include <new>

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(platform_lock::storage));

namespace {
CRITICAL_SECTION *section_of(platform_lock *lock) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION *>(lock->storage));
}

// SetThreadDescription exists from Windows 10 1607 on: looked up, so the
// library still loads on older systems.
using set_description_fn = HRESULT(WINAPI *)(HANDLE, PCWSTR);

void name_this_thread(const char *name) {
    static const auto set_description = reinterpret_cast<set_description_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    wchar_t wide[32];
    if (!set_description || MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 32) <= 0) return;
    set_description(GetCurrentThread(), wide);
}

DWORD WINAPI trampoline(LPVOID raw) {
    auto *slot = static_cast<thread_slot *>(raw);
    // Read before fn runs: the slot may be reused once it is released.
    HMODULE self = reinterpret_cast<HMODULE>(slot->os_id);
    if (slot->name) name_this_thread(slot->name);
    slot->fn(slot->arg);
    thread_slot_release(slot);
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
}

HMODULE pin_own_module() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&platform_thread_start),
                            &self))
        return nullptr;
    return self;
}
}  // namespace

void platform_lock_init(platform_lock *lock) {
    new (lock->storage) CRITICAL_SECTION;
    InitializeCriticalSection(section_of(lock));
}

void platform_lock_enter(platform_lock *lock) { EnterCriticalSection(section_of(lock)); }
void platform_lock_leave(platform_lock *lock) { LeaveCriticalSection(section_of(lock)); }

bool platform_thread_start(platform_thread *out, platform_thread_fn fn, void *arg, const char *name) {
    *out = nullptr;
    thread_slot *slot = thread_slot_acquire(fn, arg, name);
    if (!slot) return false;
    HMODULE self = pin_own_module();
    // os_id carries the module reference to the thread.
    slot->os_id = reinterpret_cast<uintptr_t>(self);
    HANDLE handle = CreateThread(nullptr, 0, trampoline, slot, CREATE_SUSPENDED, nullptr);
    if (!handle) {
        if (self) FreeLibrary(self);
        slot->refs.store(0);
        return false;
    }
    slot->os_handle = handle;
    ResumeThread(handle);
    *out = slot;
    return true;
}

bool platform_thread_wait(platform_thread thread, uint32_t timeout_ms) {
    auto *slot = static_cast<thread_slot *>(thread);
    if (!slot) return true;
    return WaitForSingleObject(static_cast<HANDLE>(slot->os_handle), timeout_ms) == WAIT_OBJECT_0;
}

void platform_thread_close(platform_thread thread) {
    auto *slot = static_cast<thread_slot *>(thread);
    if (!slot) return;
    CloseHandle(static_cast<HANDLE>(slot->os_handle));
    thread_slot_release(slot);
}
