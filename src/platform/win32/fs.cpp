// Data files and durable file replacement on Windows, through the wide calls.
#include "../platform.h"
#include "wide_text.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {
// Other programs (an editor showing the log, a second Mumble) may read,
// write, rename or delete the file while the plugin has it open.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Up to the wildcard that lists a folder: "\\*".
constexpr size_t folder_pattern_extra = 3;
// A file name is at most 255 UTF-16 units, each at most 3 bytes of UTF-8.
constexpr size_t file_name_bytes = 1024;

// Only a file on a disk is used: a device name (NUL, CON, COM1) or a pipe is
// refused, and so is a folder should the system hand one out.
bool is_regular_file(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::FILE *open_regular(const char *path, DWORD access, DWORD disposition, int crt_flags, const char *stdio_mode) {
    wchar_t wide[wide_path_units];
    if (!utf8_to_wide(path, wide, wide_path_units)) return nullptr;
    HANDLE handle = CreateFileW(wide, access, share_all, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (!is_regular_file(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), crt_flags);
    if (fd == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, stdio_mode);
    if (!f) _close(fd);  // closes the handle too
    return f;
}

HANDLE handle_of(std::FILE *file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }
}  // namespace

std::FILE *platform_open_for_read(const char *path) {
    return open_regular(path, GENERIC_READ | FILE_READ_ATTRIBUTES, OPEN_EXISTING, _O_RDONLY, "rb");
}

std::FILE *platform_open_for_write(const char *path, bool) {
    return open_regular(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, CREATE_ALWAYS, 0, "wb");
}

std::FILE *platform_open_for_append(const char *path) {
    // Append-only access: the system itself puts every write at the end, so
    // writers in other processes never overwrite each other (the C library's
    // seek before each write is a separate step).
    return open_regular(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_ALWAYS, _O_APPEND, "ab");
}

bool platform_file_size(std::FILE *file, uint64_t *size) {
    LARGE_INTEGER value{};
    HANDLE handle = handle_of(file);
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &value) || value.QuadPart < 0) return false;
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool platform_flush_to_disk(std::FILE *file) {
    HANDLE handle = handle_of(file);
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

bool platform_replace_file(const char *from, const char *to) {
    wchar_t wide_from[wide_path_units];
    wchar_t wide_to[wide_path_units];
    if (!utf8_to_wide(from, wide_from, wide_path_units) || !utf8_to_wide(to, wide_to, wide_path_units)) return false;
    return MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool platform_delete_file(const char *path) {
    wchar_t wide[wide_path_units];
    return utf8_to_wide(path, wide, wide_path_units) && DeleteFileW(wide) != 0;
}

bool platform_make_folder(const char *path) {
    wchar_t wide[wide_path_units];
    if (!utf8_to_wide(path, wide, wide_path_units)) return false;
    if (CreateDirectoryW(wide, nullptr)) return true;
    DWORD attributes = GetFileAttributesW(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool platform_list_folder(const char *folder, platform_folder_entry_fn fn, void *context) {
    size_t length = std::strlen(folder);
    char pattern[wide_path_units];
    if (length + folder_pattern_extra > sizeof pattern) return false;
    std::snprintf(pattern, sizeof pattern, "%s\\*", folder);
    wchar_t wide[wide_path_units];
    if (!utf8_to_wide(pattern, wide, wide_path_units)) return false;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileExW(wide, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        char name[file_name_bytes];
        size_t n = wide_to_utf8(entry.cFileName, wcslen(entry.cFileName), name, sizeof name);
        if (n == 0 || n >= sizeof name) continue;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        fn(name, context);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return true;
}
