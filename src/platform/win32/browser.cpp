// Opening a web address in the default browser on Windows.
#include "../platform.h"
#include "wide_text.h"

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

namespace {
// ShellExecute reports success with a value above this.
constexpr INT_PTR shell_execute_error_max = 32;
}  // namespace

bool platform_open_url(const char *address) {
    if (!address || !*address) return false;
    wchar_t wide[wide_path_units];
    if (!utf8_to_wide(address, wide, wide_path_units)) return false;
    // Some address handlers are shell extensions that need COM on the
    // calling thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    HINSTANCE result = ShellExecuteW(nullptr, L"open", wide, nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
    return reinterpret_cast<INT_PTR>(result) > shell_execute_error_max;
}
