// Clock, process, module path and environment on Windows.
#include "../platform.h"
#include "../time_scale.h"
#include "wide_text.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <ctime>

namespace {
// The longest variable name the plugin asks for, and more.
constexpr size_t env_name_units = 128;
}  // namespace

uint32_t platform_ticks() {
    // GetTickCount64 so the scaled clock keeps counting past 49 days of
    // uptime; the result wraps at 2^32 like GetTickCount.
    return time_scale::plugin_ms(GetTickCount64());
}

void platform_sleep(uint32_t ms) { Sleep(time_scale::real_ms(ms)); }

uint32_t platform_process_id() { return GetCurrentProcessId(); }

bool platform_local_time(time_t when, std::tm *out) { return localtime_s(out, &when) == 0; }

size_t platform_module_path(char *buf, size_t size) {
    if (size == 0) return 0;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&platform_module_path), &self))
        return 0;
    wchar_t wide[wide_path_units];
    DWORD units = GetModuleFileNameW(self, wide, static_cast<DWORD>(wide_path_units));
    if (units == 0) return 0;
    if (units >= wide_path_units) return size;  // cut by the system
    return wide_to_utf8(wide, units, buf, size);
}

char platform_path_separator() { return '\\'; }

const char *platform_name() { return "windows"; }

size_t platform_program_argument(int, char **, int index, char *buf, size_t size) {
    if (index < 0 || size == 0) return 0;
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) return 0;
    size_t n = 0;
    if (index < count) n = wide_to_utf8(arguments[index], wcslen(arguments[index]), buf, size);
    LocalFree(arguments);
    return n;
}

size_t platform_getenv(const char *name, char *buf, size_t size) {
    wchar_t wide_name[env_name_units];
    if (!utf8_to_wide(name, wide_name, env_name_units)) return 0;
    wchar_t wide[wide_path_units];
    DWORD units = GetEnvironmentVariableW(wide_name, wide, static_cast<DWORD>(wide_path_units));
    if (units == 0) return 0;
    // Too long for the wide buffer means too long for any caller's buffer.
    if (units >= wide_path_units) return size > wide_path_units ? size : wide_path_units;
    return wide_to_utf8(wide, units, buf, size);
}
