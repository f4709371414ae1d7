// Reads one string field out of a web service reply by plain text search.
// There is no JSON parser: the replies are small, flat and of known shape.
#pragma once

#include <cstddef>

// Longest key, with its two quotes and the terminator, that the search can
// build; a longer key is refused rather than searched for cut short.
constexpr size_t json_quoted_key_size = 128;

// Finds the first occurrence of "key" (quoted) anywhere in json, the first
// ':' after it, skips white space and, when a '"' follows, copies the bytes up
// to the next '"' into out. No escape is interpreted: a backslash is copied
// and a quote after it still ends the value. True only when the value is
// shorter than out_size; on any failure out is left exactly as it was.
bool json_get_string(const char *json, const char *key, char *out, size_t out_size);
