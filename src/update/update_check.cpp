#include "update_check.h"

#include "../core/text.h"
#include "../identity/https_client.h"  // QV_WEB_HOST
#include "../identity/json_field.h"

#include <cstdio>
#include <cstring>

namespace {
// Where a platform's current library lies under the web host; with it the
// fixed address this build hands out.
#define QV_CURRENT_LIBRARY_PATH "/downloads/voice/plugin/"
constexpr char download_address[] = "https://" QV_WEB_HOST QV_CURRENT_LIBRARY_PATH QV_RELEASE_OS "/" QV_RELEASE_LIBRARY;
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

const release_platform &release_this_platform() {
    return std::strcmp(QV_RELEASE_OS, release_windows.os) == 0 ? release_windows : release_linux;
}

bool release_expected_download(const release_platform &platform, const char *version, const char *web_host,
                               char *file_name, size_t file_name_size, char *url, size_t url_size) {
    if (version == nullptr || web_host == nullptr || file_name == nullptr || url == nullptr) return false;
    const int name_length =
        std::snprintf(file_name, file_name_size, "Quorvane-Voice-v%s.%s", version, platform.file_extension);
    if (name_length == 0 || !formatted_fits(name_length, file_name_size)) return false;
    const int url_length = std::snprintf(url, url_size, "https://%s/downloads/voice/%s", web_host, file_name);
    return url_length != 0 && formatted_fits(url_length, url_size);
}

bool release_expected_download(const char *version, const char *web_host, char *file_name, size_t file_name_size,
                               char *url, size_t url_size) {
    return release_expected_download(release_this_platform(), version, web_host, file_name, file_name_size, url,
                                     url_size);
}

bool release_download_address(const release_platform &platform, const char *web_host, char *out, size_t size) {
    return formatted_fits(
        std::snprintf(out, size, "https://%s" QV_CURRENT_LIBRARY_PATH "%s/%s", web_host, platform.os, platform.library),
        size);
}

release_verdict release_decide(uint32_t status, const char *body, const char *web_host,
                               const release_platform &platform, const parsed_version &running,
                               release_reading *reading) {
    release_reading scratch;
    release_reading &r = reading ? *reading : scratch;
    r = release_reading{};
    constexpr uint32_t http_ok = 200;
    if (status != http_ok || body == nullptr) return release_verdict::status_not_ok;
    if (release_is_revoked(body)) return release_verdict::revoked;

    if (!json_get_string(body, "version", r.version, sizeof r.version)) return release_verdict::version_missing;
    parsed_version release{};
    if (!parse_version(r.version, &release)) return release_verdict::version_invalid;
    if (!version_is_newer(&release, &running)) return release_verdict::not_newer;

    if (!release_expected_download(platform, r.version, web_host, r.expected_file_name, sizeof r.expected_file_name,
                                   r.expected_url, sizeof r.expected_url)) {
        r.expected_file_name[0] = '\0';
        r.expected_url[0] = '\0';
        return release_verdict::names_too_long;
    }
    if (!json_get_string(body, platform.file_name_field, r.file_name, sizeof r.file_name))
        return release_verdict::file_name_missing;
    if (!json_get_string(body, platform.url_field, r.url, sizeof r.url)) return release_verdict::url_missing;
    if (std::strcmp(r.file_name, r.expected_file_name) != 0) return release_verdict::file_name_differs;
    if (std::strcmp(r.url, r.expected_url) != 0) return release_verdict::url_differs;
    return release_verdict::offered;
}

bool release_offers_update(uint32_t status, const char *body, const char *web_host) {
    parsed_version own{};
    if (!parse_version(own_version_text, &own)) return false;
    return release_decide(status, body, web_host, release_this_platform(), own, nullptr) == release_verdict::offered;
}

const char *update_download_address() { return download_address; }
size_t update_download_address_length() { return sizeof download_address - 1; }
