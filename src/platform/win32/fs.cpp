// Durable file replacement on Windows.
#include "../platform.h"

#include <io.h>
#include <windows.h>

#include <cstdio>

std::FILE *platform_open_for_write(const char *path, bool) { return std::fopen(path, "wb"); }

bool platform_flush_to_disk(std::FILE *file) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

bool platform_replace_file(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool platform_delete_file(const char *path) { return DeleteFileA(path) != 0; }
