// Clock, process, module path and environment on Windows.
#include "../platform.h"
#include "../time_scale.h"

#include <windows.h>

#include <ctime>

uint32_t platform_ticks() {
    // GetTickCount64 so the scaled clock keeps counting past 49 days of
    // uptime; the result wraps at 2^32 like GetTickCount.
    return time_scale::plugin_ms(GetTickCount64());
}

void platform_sleep(uint32_t ms) { Sleep(time_scale::real_ms(ms)); }

uint32_t platform_process_id() { return GetCurrentProcessId(); }

bool platform_local_time(time_t when, std::tm *out) { return localtime_s(out, &when) == 0; }

size_t platform_module_path(char *buf, size_t size) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&platform_module_path), &self))
        return 0;
    return GetModuleFileNameA(self, buf, static_cast<DWORD>(size));
}

char platform_path_separator() { return '\\'; }

const char *platform_name() { return "windows"; }

size_t platform_getenv(const char *name, char *buf, size_t size) {
    return GetEnvironmentVariableA(name, buf, static_cast<DWORD>(size));
}
