#include "loader.h"

#include <windows.h>

void *library_load(const std::string &path, std::string *error) {
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h && error) *error = "LoadLibraryA failed with " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(h);
}

void *library_symbol(void *library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void library_unload(void *library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}
