// UTF-8, the plugin's text, to and from the UTF-16 of the wide Win32 calls.
#pragma once

#include <windows.h>

#include <cstddef>

// Room for any path the plugin builds (its buffers hold at most 1088 bytes
// of UTF-8, never more UTF-16 units than that) and any file name.
constexpr size_t wide_path_units = 2048;

// Converts NUL-terminated UTF-8 into out (terminated); false when the text
// is not valid UTF-8 or does not fit.
inline bool utf8_to_wide(const char *text, wchar_t *out, size_t units) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(units)) > 0;
}

// Converts `count` UTF-16 units into out as UTF-8 and terminates it. Returns
// the UTF-8 length when it fits, else the length it needs plus one (so
// always >= size), and 0 when the units do not convert.
inline size_t wide_to_utf8(const wchar_t *text, size_t count, char *out, size_t size) {
    if (size == 0) return 0;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out, static_cast<int>(size - 1), nullptr,
                                nullptr);
    if (n > 0 || count == 0) {
        out[n] = '\0';
        return static_cast<size_t>(n);
    }
    out[0] = '\0';
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return 0;
    size_t cut = static_cast<size_t>(needed) + 1;
    return cut > size ? cut : size;
}
