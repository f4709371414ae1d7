#include "loader.h"

#include <windows.h>

#include <vector>

// Paths are UTF-8, as the plugin's own; the wide call reaches any folder name.
void *library_load(const std::string &path, std::string *error) {
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(units > 0 ? static_cast<size_t>(units) : 1, L'\0');
    if (units <= 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), units) <= 0) {
        if (error) *error = "not UTF-8: " + path;
        return nullptr;
    }
    HMODULE h = LoadLibraryW(wide.data());
    if (!h && error) *error = "LoadLibraryW failed with " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(h);
}

void *library_symbol(void *library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void library_unload(void *library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}
