// The parsers of the configuration: pure functions over byte buffers, with no
// state and no I/O, so they can be tested and fuzzed on their own.
#include "configuration.h"
#include "text.h"

#include <cfloat>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {
// Magnitude of INT32_MIN: digits stop growing the value once it is reached.
constexpr int64_t int_magnitude_limit = 2147483648LL;
// FLT_MAX plus half a unit in its last place: from here on a conversion to
// float rounds to infinity.
constexpr double float_overflow_edge = 0x1.ffffffp+127;

bool range_equals_ignore_case(const char *text, size_t length, const char *word) {
    size_t word_length = std::strlen(word);
    if (length != word_length) return false;
    for (size_t i = 0; i < length; ++i)
        if (ascii_lower(text[i]) != ascii_lower(word[i])) return false;
    return true;
}

void store_text(char *out, size_t size, const char *text, size_t length) {
    if (length > size - 1) length = size - 1;
    std::snprintf(out, size, "%.*s", static_cast<int>(length), text);
}

uint8_t boolean_word(const char *text, size_t length) {
    for (const char *word : {"1", "true", "yes", "on"})
        if (range_equals_ignore_case(text, length, word)) return 1;
    return 0;
}

// Round to nearest as IEEE does, without the undefined behaviour of
// converting a double that lies beyond the range of float.
float to_float(double number) {
    double magnitude = number < 0 ? -number : number;
    float result;
    if (magnitude >= float_overflow_edge)
        result = std::numeric_limits<float>::infinity();
    else if (magnitude > FLT_MAX)
        result = FLT_MAX;
    else
        return static_cast<float>(number);
    return number < 0 ? -result : result;
}
}  // namespace

void config_set_defaults(config_values *cfg) {
    std::snprintf(cfg->server_host, sizeof cfg->server_host, "%s", default_server_host);
    cfg->server_port = default_server_port;
    cfg->api_key[0] = '\0';
    cfg->enabled = 1;
    cfg->debug_log = 1;
    cfg->reconnect_sec = default_reconnect_sec;
    cfg->smooth_transitions = 1;
}

int32_t parse_int_prefix(const char *text, size_t length) {
    size_t i = 0;
    while (i < length && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t magnitude = 0;
    for (; i < length && is_digit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int_magnitude_limit) magnitude = int_magnitude_limit;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return static_cast<int32_t>(magnitude > INT32_MAX ? INT32_MAX : magnitude);
}

bool config_apply_ini_line(config_values *cfg, const char *line, size_t length) {
    if (!cfg || !line) return false;
    if (const void *nul = std::memchr(line, '\0', length))
        length = static_cast<size_t>(static_cast<const char *>(nul) - line);

    const char *begin = line;
    const char *end = line + length;
    while (begin < end && is_space(*begin))
        ++begin;
    while (end > begin && is_space(end[-1]))
        --end;
    if (begin == end || *begin == '#' || *begin == ';') return false;

    const char *eq = static_cast<const char *>(std::memchr(begin, '=', static_cast<size_t>(end - begin)));
    if (!eq) return false;
    const char *key_end = eq;
    while (key_end > begin && is_space(key_end[-1]))
        --key_end;
    const char *value = eq + 1;
    while (value < end && is_space(*value))
        ++value;
    size_t key_length = static_cast<size_t>(key_end - begin);
    size_t value_length = static_cast<size_t>(end - value);

    if (range_equals_ignore_case(begin, key_length, "server_host")) {
        store_text(cfg->server_host, sizeof cfg->server_host, value, value_length);
    } else if (range_equals_ignore_case(begin, key_length, "server_port")) {
        cfg->server_port = parse_int_prefix(value, value_length);
    } else if (range_equals_ignore_case(begin, key_length, "api_key")) {
        store_text(cfg->api_key, sizeof cfg->api_key, value, value_length);
    } else if (range_equals_ignore_case(begin, key_length, "enabled")) {
        cfg->enabled = boolean_word(value, value_length);
    } else if (range_equals_ignore_case(begin, key_length, "debug_log")) {
        cfg->debug_log = boolean_word(value, value_length);
    } else if (range_equals_ignore_case(begin, key_length, "reconnect_sec")) {
        int32_t seconds = parse_int_prefix(value, value_length);
        cfg->reconnect_sec = seconds < 1 ? 1 : seconds;
    } else if (range_equals_ignore_case(begin, key_length, "smooth_transitions")) {
        cfg->smooth_transitions = boolean_word(value, value_length);
    } else {
        return false;
    }
    return true;
}

bool parse_float(const char *text, float *value) {
    if (!text || !value) return false;
    const char *p = text;
    // Blanks and tabs only: a line end before the number is a failure.
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';

    bool any_digit = false;
    double number = 0.0;
    for (; is_digit(*p); ++p) {
        number = number * 10.0 + (*p - '0');
        any_digit = true;
    }
    if (p[0] == '.' && is_digit(p[1])) {
        double step = 0.1;
        for (++p; is_digit(*p); ++p) {
            number += (*p - '0') * step;
            step *= 0.1;
        }
        any_digit = true;
    }
    if (!any_digit) return false;
    if (negative) number = -number;  // "-0" gives negative zero
    *value = to_float(number);
    return true;
}
