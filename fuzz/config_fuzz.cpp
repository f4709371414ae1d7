// The ini line handler and parse_float on arbitrary bytes: neither may read
// or write out of bounds, and both must keep their output rules.
#include "core/configuration.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

void check_settings(const config_values &cfg) {
    check(std::memchr(cfg.server_host, '\0', sizeof cfg.server_host) != nullptr);
    check(std::memchr(cfg.api_key, '\0', sizeof cfg.api_key) != nullptr);
    check(cfg.enabled <= 1 && cfg.debug_log <= 1);
    check(cfg.reconnect_sec >= 1);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);

    // The whole input as one line, then as a file is read: pieces that end
    // at a line feed or after ini_line_buffer_size - 1 bytes.
    config_values cfg;
    config_set_defaults(&cfg);
    config_apply_ini_line(&cfg, text, size);
    check_settings(cfg);
    config_set_defaults(&cfg);
    for (size_t start = 0; start < size;) {
        size_t length = 0;
        while (start + length < size && length < ini_line_buffer_size - 1) {
            if (text[start + length++] == '\n') break;
        }
        config_apply_ini_line(&cfg, text + start, length);
        check_settings(cfg);
        start += length;
    }

    // parse_float reads a NUL-terminated text and writes only on success.
    std::vector<char> copy(text, text + size);
    copy.push_back('\0');
    float value = 1234.5f;
    if (parse_float(copy.data(), &value)) {
        check(!std::isnan(value));
    } else {
        check(value == 1234.5f);
    }
    parse_int_prefix(text, size);
    return 0;
}
