// web: the release description the plugin fetches, decided per platform by
// the plugin's own update rule, and with --link one link's start and status
// replies read by the identity worker's own classifiers.
#include "checks.h"
#include "core/flavour.h"
#include "core/text.h"
#include "identity/credential_store.h"
#include "identity/https_client.h"
#include "identity/identity_worker.h"
#include "identity/json_field.h"
#include "platform/platform.h"
#include "update/update_check.h"

#include <cstring>
#include <vector>

namespace {
// Enough to tell how far a body runs past the plugin's 4095 bytes.
constexpr size_t measure_size = 64 * 1024 + 1;
constexpr uint32_t http_created = 201;
constexpr uint32_t http_ok = 200;
constexpr uint32_t http_gone = 410;

const char *platform_title(const release_platform &p) {
    return std::strcmp(p.os, release_windows.os) == 0 ? "Windows" : "Linux";
}

// The fields of one platform and the version, as keys to look for.
std::vector<const char *> release_keys() {
    return {"version", release_windows.file_name_field, release_windows.url_field, release_linux.file_name_field,
            release_linux.url_field};
}

// A string field read with room to spare, to tell a missing field from one
// too long for the plugin's buffer.
bool field_present(const char *body, const char *key, std::string *value) {
    std::vector<char> buffer(measure_size);
    if (!json_get_string(body, key, buffer.data(), buffer.size())) return false;
    *value = buffer.data();
    return true;
}

std::string field_absence(const char *body, const char *key, size_t size) {
    std::string value;
    if (field_present(body, key, &value))
        return text_format("`%s` is %zu characters long; the plugin reads at most %zu", key, value.size(), size - 1);
    return text_format("there is no string field `%s`", key);
}

void decide_platform(check_report &r, const release_platform &p, uint32_t status, const char *body,
                     const std::string &web_host, const parsed_version &running, const std::string &from,
                     bool first_platform) {
    r.section(platform_title(p));
    release_reading reading{};
    const release_verdict verdict = release_decide(status, body, web_host.c_str(), p, running, &reading);
    const std::string who = std::string(platform_title(p)) + " players";
    if (verdict == release_verdict::offered) {
        char address[release_url_size];
        release_download_address(p, web_host.c_str(), address, sizeof address);
        r.line(text_format("offered: Mumble on %s is told of %s and downloads %s", platform_title(p), reading.version,
                           address));
        r.line(text_format("the release names %s at %s, as the plugin expects", reading.file_name, reading.url));
        return;
    }
    // Reasons that do not depend on the platform are told once.
    const bool global = verdict == release_verdict::status_not_ok || verdict == release_verdict::revoked ||
                        verdict == release_verdict::version_missing || verdict == release_verdict::version_invalid ||
                        verdict == release_verdict::not_newer || verdict == release_verdict::names_too_long;
    std::string reason, text;
    switch (verdict) {
        case release_verdict::status_not_ok:
            reason = status >= 300 && status < 400 ? "redirect" : "status";
            text = status >= 300 && status < 400
                       ? text_format(
                             "status %u: the plugin never follows a redirect, so nobody is offered the "
                             "update; serve stable.json at this address itself",
                             status)
                       : text_format("status %u, not 200: nobody is offered the update", status);
            break;
        case release_verdict::revoked:
            reason = "revoked";
            text = "the release is marked `\"revoked\": true`: nobody is offered it";
            break;
        case release_verdict::version_missing:
            reason = "version_missing";
            text = field_absence(body, "version", release_version_size) + ": nobody is offered the update";
            break;
        case release_verdict::version_invalid:
            reason = "version_format";
            text = r.quote(reading.version) +
                   " is no version the plugin reads (major.minor.patch, each without leading zeros, then "
                   "optionally - and dot-separated letters, digits and hyphens): nobody is offered the update";
            break;
        case release_verdict::not_newer:
            reason = "not_newer";
            text = r.quote(reading.version) + " is not newer than " + r.quote(from) +
                   ", the version players run: nobody is offered it";
            break;
        case release_verdict::names_too_long:
            reason = "version_too_long";
            text = r.quote(reading.version) + " makes a file name or address too long for the plugin's buffers";
            break;
        case release_verdict::file_name_missing:
            reason = "field_missing";
            text = field_absence(body, p.file_name_field, release_file_name_size) + ": " + who +
                   " are not offered the update";
            break;
        case release_verdict::url_missing:
            reason = "field_missing";
            text = field_absence(body, p.url_field, release_url_size) + ": " + who + " are not offered the update";
            break;
        case release_verdict::file_name_differs:
            reason = "file_name_differs";
            text = text_format("`%s` is ", p.file_name_field) + r.quote(reading.file_name) +
                   "; the plugin expects exactly " + r.quote(reading.expected_file_name) +
                   " (letter case counts): " + who + " are not offered the update";
            break;
        case release_verdict::url_differs:
            reason = "url_differs";
            text = text_format("`%s` is ", p.url_field) + r.quote(reading.url) + "; the plugin expects exactly " +
                   r.quote(reading.expected_url) + ": " + who + " are not offered the update";
            break;
        case release_verdict::offered:
            break;
    }
    r.line("not offered: " + text);
    if (!global || first_platform) r.problem(reason, text, global ? reason : reason + ":" + p.os);
}

// ---- --link ------------------------------------------------------------------

// Why a start reply is no link the plugin takes.
std::string start_shape(const check_report &r, uint32_t status, const char *body) {
    std::vector<std::string> why;
    char state[link_state_size] = {};
    std::string state_text;
    json_get_string(body, "status", state, sizeof state);
    if (status != http_created) why.push_back(text_format("status %u (the plugin needs 201)", status));
    if (!field_present(body, "status", &state_text))
        why.push_back("no string field `status`");
    else if (state_text != "pending")
        why.push_back("`status` is " + r.quote(state_text) + " (the plugin needs `pending`)");
    const struct {
        const char *key;
        size_t size;
    } fields[] = {{"code", link_code_size}, {"secret", link_secret_size}, {"approval_secret", link_secret_size}};
    for (const auto &f : fields) {
        std::string value;
        if (!field_present(body, f.key, &value))
            why.push_back(text_format("no string field `%s`", f.key));
        else if (value.empty())
            why.push_back(text_format("`%s` is empty", f.key));
        else if (value.size() >= f.size)
            why.push_back(text_format("`%s` is %zu characters long (at most %zu)", f.key, value.size(), f.size - 1));
        else if (!is_visible_ascii(value.c_str()))
            why.push_back(text_format("`%s` holds a blank or a character outside printable ASCII", f.key));
    }
    std::string out;
    for (const std::string &w : why)
        out += (out.empty() ? "" : "; ") + w;
    return out.empty() ? "the reply is not what the plugin takes" : out;
}

void check_link(check_report &r, const std::string &web_host) {
    const std::string identity = throwaway_identity();
    r.section("Link start (a throwaway identity " + hash_prefix(identity) + "; no browser is opened)");
    char body[start_body_size];
    format_start_body(body, sizeof body, identity.c_str());
    r.line(std::string("POST /api/voice/link/start ") + body);
    static char response[http_response_size];
    uint32_t status = 0;
    if (!http_request("POST", "/api/voice/link/start", "Content-Type: application/json\r\n", body, &status, response)) {
        r.line("no answer");
        r.problem("link_no_answer", "the link start got no answer: no player can link a credential");
        return;
    }
    // Whatever the reply holds in these fields stays out of the report.
    for (const char *key : {"secret", "approval_secret", "credential"}) {
        std::string value;
        if (field_present(response, key, &value)) r.add_secret(value, std::string("<") + key + ">");
    }
    r.line(text_format("status %u: ", status) + r.quote(response, 200));
    link_start start{};
    switch (classify_start_reply(status, response, &start)) {
        case start_outcome::accepted:
            r.line(text_format("accepted: code %s, a secret of %zu characters and an approval secret of %zu",
                               start.code, std::strlen(start.secret), std::strlen(start.approval_secret)));
            r.line(
                text_format("the plugin would open https://%s/account/voice?code=%s&approval=<approval_secret> "
                            "and poll for the credential",
                            web_host.c_str(), start.code));
            break;
        case start_outcome::linked_without_credential:
            r.line("200 `linked`: a start reply carries no credential the plugin reads");
            r.problem("link_start_shape",
                      "the start reply says `linked` (200): the plugin reads no credential from "
                      "it, waits 15 s and starts again, so the player never links");
            return;
        case start_outcome::rejected:
            r.line("rejected: " + start_shape(r, status, response));
            r.problem("link_start_shape", start_shape(r, status, response) +
                                              ": the plugin takes no link from this reply, waits 15 s and starts "
                                              "again, so no player links a credential");
            return;
    }

    r.section("Link status (before any approval)");
    char path[status_path_size];
    char header[secret_header_size];
    format_status_path(path, sizeof path, start.code);
    format_secret_header(header, sizeof header, start.secret);
    r.line(std::string("GET ") + path + " with the secret header");
    status = 0;
    response[0] = '\0';
    if (!http_request("GET", path, header, nullptr, &status, response)) {
        r.line("no answer");
        r.problem("link_no_answer", "the link status got no answer: the plugin keeps polling every 2 s for 300 s");
        return;
    }
    std::string credential;
    if (field_present(response, "credential", &credential)) r.add_secret(credential, "<credential>");
    r.line(text_format("status %u: ", status) + r.quote(response, 200));
    char received[link_credential_size];
    char state[link_state_size] = {};
    json_get_string(response, "status", state, sizeof state);
    switch (classify_poll_reply(status, response, received)) {
        case poll_outcome::retry:
            if (status == http_ok && std::strcmp(state, "pending") == 0) {
                r.line("pending: the plugin polls again every 2 s until the player approves (for 300 s)");
            } else {
                r.line("the plugin polls again");
                r.problem("link_status_shape",
                          text_format("status %u with `status` ", status) + r.quote(state) +
                              " before any approval: the plugin expects 200 `pending` (or `linked` with the "
                              "credential); it keeps polling, but this is not what it waits for");
            }
            break;
        case poll_outcome::gone:
            r.line("gone: the plugin drops the code and starts a new link");
            r.problem("link_status_gone", text_format("status %u straight after the start: the plugin drops every "
                                                      "link at once, so the player's approval can never arrive",
                                                      http_gone));
            break;
        case poll_outcome::invalid_credential:
            r.line("`linked` without a valid credential");
            r.problem("link_status_shape",
                      "`linked` without a credential of `vc1.` and 43 letters, digits, _ or -: "
                      "the plugin keeps polling and never gets one");
            break;
        case poll_outcome::linked:
            r.line("`linked` with a valid credential, before any approval was given");
            break;
    }
}
}  // namespace

check_outcome check_web(const web_options &o, check_report &r, std::string *summary) {
    parsed_version running{};
    parse_version(o.from.c_str(), &running);  // checked by the command line

    r.section("Release description");
    const bool own_port = o.web_port == web_https_port;
    r.line(text_format("GET https://%s%s%s", o.web_host.c_str(), own_port ? "" : text_format(":%d", o.web_port).c_str(),
                       stable_release_path));
    std::vector<char> full(measure_size);
    uint32_t status = 0;
    if (!http_request_sized("GET", stable_release_path, nullptr, nullptr, &status, full.data(), full.size())) {
        r.line("no answer");
        *summary = "no answer from " + o.web_host +
                   " (the name does not resolve, nothing listens, TLS failed, or it took over 30 s)";
        return check_outcome::unreachable;
    }
    full.back() = '\0';
    const size_t length = std::strlen(full.data());
    // What the plugin reads: the first 4095 bytes.
    char body[http_response_size];
    std::snprintf(body, sizeof body, "%s", full.data());
    const bool cut = length >= http_response_size;
    r.line(text_format("status %u, %s%zu bytes", status, length + 1 >= measure_size ? "at least " : "", length));
    r.line("body " + r.quote(full.data(), 400));
    if (cut) {
        std::string lost;
        for (const char *key : release_keys()) {
            std::string whole, kept;
            if (field_present(full.data(), key, &whole) && !field_present(body, key, &kept))
                lost += (lost.empty() ? "" : ", ") + std::string(key);
        }
        const std::string text =
            text_format("the body is %s%zu bytes; the plugin reads only the first %zu",
                        length + 1 >= measure_size ? "at least " : "", length, http_response_size - 1) +
            (lost.empty() ? ", so whatever lies beyond counts as missing"
                          : ", so these fields beyond the cut count as missing: " + lost);
        r.line(text);
        r.problem("body_too_long", text);
    }
    if (!release_is_revoked(body)) r.line("not revoked");

    r.line(std::string("decided for a plugin of version ") + o.from + " built for " + o.web_host);
    decide_platform(r, release_windows, status, body, o.web_host, running, o.from, true);
    decide_platform(r, release_linux, status, body, o.web_host, running, o.from, false);

    if (o.link) check_link(r, o.web_host);

    if (r.problem_count() == 0) {
        char version[release_version_size] = {};
        json_get_string(body, "version", version, sizeof version);
        *summary = std::string("release ") + version + " offered to Windows and Linux players of " + o.from +
                   (o.link ? "; link start and status replies as the plugin expects" : "");
        return check_outcome::conforms;
    }
    std::string reasons;
    for (const std::string &reason : r.problem_reasons())
        reasons += (reasons.empty() ? "" : ", ") + reason;
    *summary = text_format("%zu problem%s: ", r.problem_count(), r.problem_count() == 1 ? "" : "s") + reasons;
    return check_outcome::problems;
}

std::string throwaway_identity() {
    unsigned char bytes[20] = {};
    if (!platform_random_bytes(bytes, sizeof bytes)) {
        const uint32_t t = platform_ticks();
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>((t >> (8 * (i % 4))) ^ (37 * i));
    }
    std::string out;
    for (unsigned char b : bytes)
        out += text_format("%02x", b);
    return out;
}
