// parse_version, precedence and the update decision on arbitrary bytes.
// A parsed version must print back to exactly its text, precedence must be
// an order (antisymmetric, reflexive), and the decision on the whole input
// as a reply must never read out of bounds.
//
// Input: two version texts separated by the first line feed (or just one).
#include "update/update_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

int sign(int value) { return (value > 0) - (value < 0); }

// Parses text from a buffer of exactly its size, so that a read past the
// terminator is caught, and checks the record against the text.
bool parse_checked(const std::vector<char> &text, parsed_version *v) {
    const size_t length = text.size() - 1;
    if (!parse_version(text.data(), v)) {
        check(v->major == 0 && v->minor == 0 && v->patch == 0 && v->prerelease == nullptr && v->prerelease_length == 0);
        return false;
    }
    // A valid text is canonical: it prints back unchanged.
    std::string printed = std::to_string(v->major) + "." + std::to_string(v->minor) + "." + std::to_string(v->patch);
    if (v->prerelease != nullptr) {
        check(v->prerelease > text.data() && v->prerelease + v->prerelease_length == text.data() + length);
        printed += "-" + std::string(v->prerelease, v->prerelease_length);
    } else {
        check(v->prerelease_length == 0);
    }
    check(printed == std::string(text.data(), length));
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    // The parsers see NUL-terminated texts: each version ends at its first NUL.
    const size_t line_feed = input.find('\n');
    std::string first = input.substr(0, line_feed);
    std::string second = line_feed == std::string::npos ? std::string(own_version_text) : input.substr(line_feed + 1);
    first.resize(std::strlen(first.c_str()));
    second.resize(std::strlen(second.c_str()));

    // The records borrow these buffers.
    std::vector<char> texts[2] = {std::vector<char>(first.c_str(), first.c_str() + first.size() + 1),
                                  std::vector<char>(second.c_str(), second.c_str() + second.size() + 1)};
    parsed_version v[2] = {};
    bool ok[2] = {};
    for (int i = 0; i < 2; ++i)
        ok[i] = parse_checked(texts[i], &v[i]);
    if (ok[0] && ok[1]) {
        const int ab = version_compare(&v[0], &v[1]);
        const int ba = version_compare(&v[1], &v[0]);
        check(sign(ab) == -sign(ba));
        check(version_compare(&v[0], &v[0]) == 0);
        check(version_is_newer(&v[0], &v[1]) == (ab > 0));
    }

    // The whole input as a release reply, and as the version of a reply that
    // is otherwise in order.
    std::vector<char> body(input.c_str(), input.c_str() + input.size() + 1);
    release_offers_update(200, body.data(), "web.example.test");
    release_is_revoked(body.data());
    char name[release_file_name_size];
    char url[release_url_size];
    if (release_expected_download(first.c_str(), "web.example.test", name, sizeof name, url, sizeof url)) {
        check(std::strlen(name) < sizeof name && std::strlen(url) < sizeof url);
        // This platform's two release fields.
        const std::string reply = R"({"version":")" + first + R"(",")" QV_RELEASE_OS R"(_plugin_filename":")" + name +
                                  R"(",")" QV_RELEASE_OS R"(_plugin_url":")" + url + R"("})";
        parsed_version own{};
        check(parse_version(own_version_text, &own));
        // Any quote or stray character in the version breaks the matching;
        // a clean newer version is offered.
        const bool clean = ok[0] && first.size() < release_version_size;
        const bool offered = release_offers_update(200, reply.c_str(), "web.example.test");
        if (clean) check(offered == version_is_newer(&v[0], &own));
    }
    return 0;
}
