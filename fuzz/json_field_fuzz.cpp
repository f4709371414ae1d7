// json_get_string on arbitrary replies, keys and buffer sizes: it may never
// read or write out of bounds, and it either writes a value that really
// follows the key in the text or leaves the buffer exactly as it was.
//
// Input: one byte of buffer size, then the key up to the first NUL, then the
// reply text. Without a NUL the whole rest is the reply and the key is
// "version".
#include "identity/json_field.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr size_t out_capacity = 256;

void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t out_size = data[0];
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const size_t rest_size = size - 1;

    const void *nul = std::memchr(rest, '\0', rest_size);
    std::string key = "version";
    std::string json(rest, rest_size);
    if (nul != nullptr) {
        const size_t key_length = static_cast<size_t>(static_cast<const char *>(nul) - rest);
        key.assign(rest, key_length);
        json.assign(rest + key_length + 1, rest_size - key_length - 1);
    }
    // Exactly as long as the text, so a read past its terminator is caught.
    std::vector<char> text(json.c_str(), json.c_str() + json.size() + 1);

    char out[out_capacity];
    std::memset(out, 0x5A, sizeof out);
    char before[out_capacity];
    std::memcpy(before, out, sizeof out);

    if (json_get_string(text.data(), key.c_str(), out, out_size)) {
        const void *end = std::memchr(out, '\0', out_size);
        check(end != nullptr);
        const size_t length = static_cast<size_t>(static_cast<const char *>(end) - out);
        check(std::memchr(out, '"', length) == nullptr);
        // The value sits in the text behind the quoted key, closed by a quote.
        const std::string quoted = "\"" + key + "\"";
        const size_t key_at = json.find(quoted);
        check(key_at != std::string::npos);
        const std::string value = "\"" + std::string(out, length) + "\"";
        check(json.find(value, key_at + quoted.size()) != std::string::npos);
        check(std::memcmp(out + length + 1, before + length + 1, out_capacity - length - 1) == 0);
    } else {
        check(std::memcmp(out, before, sizeof out) == 0);
    }
    return 0;
}
