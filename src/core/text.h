// Character classes of the C library's default locale, spelled out so that a
// host that changes the process locale cannot change what the parsers accept.
#pragma once

#include <cstddef>
#include <cstdint>

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_alnum(char c) { return is_alpha(c) || is_digit(c); }
inline bool is_xdigit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a snprintf that returned `written` into `size` bytes kept the
// whole text (it reports an error as a negative count).
inline bool formatted_fits(int written, size_t size) { return written >= 0 && static_cast<size_t>(written) < size; }

// Whole-text comparison ignoring ASCII letter case.
inline bool equals_ignore_case(const char *a, const char *b) {
    for (;; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
        if (*a == '\0') return true;
    }
}

// A 64-bit digest of a text with ASCII letters folded to lower case (FNV-1a).
// Texts equal ignoring case have equal folds, so a table search compares
// folds first and whole texts only where they agree.
inline uint64_t case_fold_digest(const char *text) {
    uint64_t h = 14695981039346656037ull;
    for (; *text; ++text) {
        h ^= static_cast<unsigned char>(ascii_lower(*text));
        h *= 1099511628211ull;
    }
    return h;
}
