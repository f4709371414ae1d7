#include "json_field.h"

#include "../core/text.h"

#include <cstdio>
#include <cstring>

bool json_get_string(const char *json, const char *key, char *out, size_t out_size) {
    if (json == nullptr || key == nullptr || out == nullptr) return false;

    char quoted[json_quoted_key_size];
    const int quoted_length = std::snprintf(quoted, sizeof quoted, "\"%s\"", key);
    // A cut key would match a different, shorter one.
    if (!formatted_fits(quoted_length, sizeof quoted)) return false;

    const char *found = std::strstr(json, quoted);
    if (found == nullptr) return false;
    const char *colon = std::strchr(found + quoted_length, ':');
    if (colon == nullptr) return false;

    const char *p = colon + 1;
    while (is_space(*p))
        ++p;
    if (*p != '"') return false;

    const char *value = p + 1;
    const char *end = std::strchr(value, '"');
    if (end == nullptr) return false;

    const size_t length = static_cast<size_t>(end - value);
    if (length >= out_size) return false;
    std::memcpy(out, value, length);
    out[length] = '\0';
    return true;
}
