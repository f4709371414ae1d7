// Whether a newer stable release exists, and where to get it. Everything but
// update_available() is pure: the decision is made over the reply text alone.
// Nothing is kept between calls, so any host thread may call any of these.
#pragma once

#include "build_info.h"

#include <cstddef>
#include <cstdint>

// The plugin's own version, the one every release is compared with.
constexpr char own_version_text[] = QV_VERSION_TEXT;
constexpr char stable_release_path[] = "/api/voice/releases/stable.json";

// Buffers for the release fields; a longer value counts as missing.
constexpr size_t release_version_size = 64;
constexpr size_t release_file_name_size = 128;
constexpr size_t release_url_size = 512;

// A version "major.minor.patch[-prerelease]". prerelease points into the
// parsed text (null when there is none) and is valid only while that text is.
struct parsed_version {
    uint32_t major;
    uint32_t minor;
    uint32_t patch;
    const char *prerelease;
    size_t prerelease_length;
};

// Three dot-separated decimal numbers without leading zeros, each fitting 32
// bits, then either the end or '-' and a prerelease: non-empty dot-separated
// identifiers of ASCII letters, digits and '-'. No build metadata ('+').
// Clears *out first whenever text is given; true when the text is valid.
bool parse_version(const char *text, parsed_version *out);

// Precedence order of two versions: negative, 0 or positive as a is lower
// than, equal to or higher than b. A release outranks its prereleases;
// prerelease identifiers compare pairwise: digits-only ones by length, then by
// bytes; a digits-only one below any other; others by bytes (ASCII order),
// a prefix below the longer text; with all pairs equal, more identifiers win.
int version_compare(const parsed_version *a, const parsed_version *b);
bool version_is_newer(const parsed_version *a, const parsed_version *b);

// True when the first "revoked" (quoted) is followed, after its next ':' and
// any white space, by the word true. A missing key or colon is not revoked.
bool release_is_revoked(const char *body);

// The file name "Quorvane-Voice-v<version>.<ext>" and its address
// "https://<web_host>/downloads/voice/<file name>" that a release must name
// for this platform; ext is "dll" on Windows and "so" on Linux.
// False, with the outputs unspecified, when either is empty or does not fit.
bool release_expected_download(const char *version, const char *web_host, char *file_name, size_t file_name_size,
                               char *url, size_t url_size);

// The whole decision over one reply to the stable release request: status
// 200, not revoked, a "version" newer than own_version_text, and this
// platform's file name and address fields ("windows_plugin_filename" and
// "windows_plugin_url" on Windows, "linux_plugin_filename" and
// "linux_plugin_url" on Linux) exactly as expected for that version on
// web_host. A release without this platform's fields offers nothing.
bool release_offers_update(uint32_t status, const char *body, const char *web_host);

// Fetches the stable release description and decides. Blocks for the request
// (update_request.cpp).
bool update_available();

// The fixed download address handed to the host, whatever the release:
// "https://" QV_WEB_HOST "/downloads/voice/plugin/windows/quorvane_voice.dll"
// on Windows, ".../plugin/linux/libquorvane_voice.so" on Linux.
// Static text; the length excludes the terminator.
const char *update_download_address();
size_t update_download_address_length();
