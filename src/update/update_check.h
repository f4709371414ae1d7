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

// One platform's release: the word that begins its two fields in the stable
// release description, the extension of its versioned file, the name of its
// shipped library, and the two field names.
struct release_platform {
    const char *os;
    const char *file_extension;
    const char *library;
    const char *file_name_field;
    const char *url_field;
};
inline constexpr release_platform release_windows{"windows", "dll", QV_WINDOWS_LIBRARY, "windows_plugin_filename",
                                                  "windows_plugin_url"};
inline constexpr release_platform release_linux{"linux", "so", QV_LINUX_LIBRARY, "linux_plugin_filename",
                                                "linux_plugin_url"};
// The platform this build runs on.
const release_platform &release_this_platform();

// The file name "Quorvane-Voice-v<version>.<ext>" and its address
// "https://<web_host>/downloads/voice/<file name>" that a release must name
// for a platform (this one when not given); ext is "dll" on Windows and "so"
// on Linux. False, with the outputs unspecified, when either is empty or
// does not fit.
bool release_expected_download(const release_platform &platform, const char *version, const char *web_host,
                               char *file_name, size_t file_name_size, char *url, size_t url_size);
bool release_expected_download(const char *version, const char *web_host, char *file_name, size_t file_name_size,
                               char *url, size_t url_size);

// The fixed address of a platform's current library on web_host, the one
// handed to the host: "https://<web_host>/downloads/voice/plugin/<os>/<library>".
bool release_download_address(const release_platform &platform, const char *web_host, char *out, size_t size);

// Why a reply offers an update to one platform, or the first reason it does
// not, in the order the decision looks.
enum class release_verdict {
    offered,
    status_not_ok,      // the status is not 200 (a redirect is never followed)
    revoked,            // "revoked" is true
    version_missing,    // no string "version", or one of release_version_size or more
    version_invalid,    // the version does not parse
    not_newer,          // not newer than the running version
    names_too_long,     // the expected file name or address does not fit its buffer
    file_name_missing,  // no string file name field of this platform that fits its buffer
    url_missing,        // no string address field of this platform that fits its buffer
    file_name_differs,  // the file name is not exactly the expected one
    url_differs,        // the address is not exactly the expected one
};

// What the decision read and what it expected; each text is empty until
// the decision got to it.
struct release_reading {
    char version[release_version_size];
    char expected_file_name[release_file_name_size];
    char expected_url[release_url_size];
    char file_name[release_file_name_size];
    char url[release_url_size];
};

// The whole decision over one reply to the stable release request, for a
// plugin of version `running` on `platform`: status 200, not revoked, a
// "version" newer than `running`, and the platform's file name and address
// fields exactly as expected for that version on web_host. A release
// without the platform's fields offers nothing. `reading` may be null.
release_verdict release_decide(uint32_t status, const char *body, const char *web_host,
                               const release_platform &platform, const parsed_version &running,
                               release_reading *reading);

// The decision of this build: its platform, own_version_text.
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
