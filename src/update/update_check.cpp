#include "update_check.h"

#include "../core/text.h"
#include "../identity/https_client.h"  // QV_WEB_HOST
#include "../identity/json_field.h"

#include <cstdio>
#include <cstring>

namespace {
// This platform's release: its fields in the stable release description, its
// versioned file, and the fixed address of its current library.
constexpr char release_file_name_field[] = QV_RELEASE_OS "_plugin_filename";
constexpr char release_url_field[] = QV_RELEASE_OS "_plugin_url";
constexpr char release_file_extension[] = QV_RELEASE_FILE_EXTENSION;
constexpr char download_address[] =
    "https://" QV_WEB_HOST "/downloads/voice/plugin/" QV_RELEASE_OS "/" QV_RELEASE_LIBRARY;
constexpr uint64_t version_number_max = 0xFFFFFFFFull;

// One version number at *p: digits, no leading zero before another digit,
// at most 32 bits. Moves *p past it.
bool parse_number(const char **p, uint32_t *out) {
    const char *s = *p;
    if (!is_digit(*s)) return false;
    if (*s == '0' && is_digit(s[1])) return false;
    uint64_t value = 0;
    for (; is_digit(*s); ++s) {
        value = value * 10 + static_cast<uint64_t>(*s - '0');
        if (value > version_number_max) return false;
    }
    *out = static_cast<uint32_t>(value);
    *p = s;
    return true;
}

bool is_identifier_char(char c) { return is_alnum(c) || c == '-'; }

bool prerelease_is_valid(const char *text, size_t length) {
    size_t identifier = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '.') {
            if (identifier == 0) return false;
            identifier = 0;
        } else if (is_identifier_char(text[i])) {
            ++identifier;
        } else {
            return false;
        }
    }
    return identifier > 0;
}

bool all_digits(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (!is_digit(text[i])) return false;
    return true;
}

int compare_identifiers(const char *a, size_t a_length, const char *b, size_t b_length) {
    const bool a_numeric = all_digits(a, a_length);
    const bool b_numeric = all_digits(b, b_length);
    if (a_numeric && b_numeric && a_length != b_length) return a_length < b_length ? -1 : 1;
    if (a_numeric != b_numeric) return a_numeric ? -1 : 1;
    const size_t common = a_length < b_length ? a_length : b_length;
    for (size_t i = 0; i < common; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a_length != b_length) return a_length < b_length ? -1 : 1;
    return 0;
}

size_t identifier_length(const char *text, size_t from, size_t length) {
    size_t end = from;
    while (end < length && text[end] != '.')
        ++end;
    return end - from;
}

int compare_prereleases(const parsed_version *a, const parsed_version *b) {
    size_t ia = 0;
    size_t ib = 0;
    while (ia < a->prerelease_length && ib < b->prerelease_length) {
        const size_t la = identifier_length(a->prerelease, ia, a->prerelease_length);
        const size_t lb = identifier_length(b->prerelease, ib, b->prerelease_length);
        const int order = compare_identifiers(a->prerelease + ia, la, b->prerelease + ib, lb);
        if (order != 0) return order;
        ia += la + 1;  // past the identifier and its dot
        ib += lb + 1;
    }
    const bool a_left = ia < a->prerelease_length;
    const bool b_left = ib < b->prerelease_length;
    if (a_left == b_left) return 0;
    return a_left ? 1 : -1;
}

int compare_numbers(uint32_t a, uint32_t b) { return a == b ? 0 : (a < b ? -1 : 1); }
}  // namespace

bool parse_version(const char *text, parsed_version *out) {
    if (text == nullptr || out == nullptr) return false;
    *out = parsed_version{};
    parsed_version v{};
    const char *p = text;
    if (!parse_number(&p, &v.major) || *p++ != '.') return false;
    if (!parse_number(&p, &v.minor) || *p++ != '.') return false;
    if (!parse_number(&p, &v.patch)) return false;
    if (*p != '\0') {
        if (*p != '-' || p[1] == '\0') return false;
        v.prerelease = p + 1;
        v.prerelease_length = std::strlen(v.prerelease);
        if (!prerelease_is_valid(v.prerelease, v.prerelease_length)) return false;
    }
    *out = v;
    return true;
}

int version_compare(const parsed_version *a, const parsed_version *b) {
    if (int order = compare_numbers(a->major, b->major)) return order;
    if (int order = compare_numbers(a->minor, b->minor)) return order;
    if (int order = compare_numbers(a->patch, b->patch)) return order;
    const bool a_pre = a->prerelease_length > 0;
    const bool b_pre = b->prerelease_length > 0;
    if (!a_pre && !b_pre) return 0;
    if (a_pre != b_pre) return a_pre ? -1 : 1;
    return compare_prereleases(a, b);
}

bool version_is_newer(const parsed_version *a, const parsed_version *b) { return version_compare(a, b) > 0; }

bool release_is_revoked(const char *body) {
    if (body == nullptr) return false;
    static constexpr char key[] = "\"revoked\"";
    const char *found = std::strstr(body, key);
    if (found == nullptr) return false;
    const char *colon = std::strchr(found + sizeof key - 1, ':');
    if (colon == nullptr) return false;
    const char *p = colon + 1;
    while (is_space(*p))
        ++p;
    return std::strncmp(p, "true", 4) == 0;
}

bool release_expected_download(const char *version, const char *web_host, char *file_name, size_t file_name_size,
                               char *url, size_t url_size) {
    if (version == nullptr || web_host == nullptr || file_name == nullptr || url == nullptr) return false;
    const int name_length =
        std::snprintf(file_name, file_name_size, "Quorvane-Voice-v%s.%s", version, release_file_extension);
    if (name_length == 0 || !formatted_fits(name_length, file_name_size)) return false;
    const int url_length = std::snprintf(url, url_size, "https://%s/downloads/voice/%s", web_host, file_name);
    return url_length != 0 && formatted_fits(url_length, url_size);
}

bool release_offers_update(uint32_t status, const char *body, const char *web_host) {
    constexpr uint32_t http_ok = 200;
    if (status != http_ok || body == nullptr) return false;
    if (release_is_revoked(body)) return false;

    char version[release_version_size] = {};
    if (!json_get_string(body, "version", version, sizeof version)) return false;
    parsed_version release{};
    parsed_version own{};
    if (!parse_version(version, &release) || !parse_version(own_version_text, &own)) return false;
    if (!version_is_newer(&release, &own)) return false;

    char expected_name[release_file_name_size];
    char expected_url[release_url_size];
    if (!release_expected_download(version, web_host, expected_name, sizeof expected_name, expected_url,
                                   sizeof expected_url))
        return false;

    char name[release_file_name_size] = {};
    char url[release_url_size] = {};
    if (!json_get_string(body, release_file_name_field, name, sizeof name)) return false;
    if (!json_get_string(body, release_url_field, url, sizeof url)) return false;
    return std::strcmp(name, expected_name) == 0 && std::strcmp(url, expected_url) == 0;
}

const char *update_download_address() { return download_address; }
size_t update_download_address_length() { return sizeof download_address - 1; }
