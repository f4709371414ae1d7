// quorvane-voice-check: a community's falloff server and web service as the
// plugin sees them, and the files of a release the plugin will offer. Exit
// code 0 when everything conforms, 1 when problems were found, 2 when the
// server could not be reached or the program was used wrongly.
#include "check_flavour.h"
#include "checks.h"
#include "core/flavour.h"
#include "core/plugin_state.h"
#include "identity/credential_store.h"
#include "identity/https_client.h"
#include "identity/identity_worker.h"
#include "platform/platform.h"
#include "update/update_check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr size_t argument_size = 4096;
constexpr int max_seconds = 24 * 60 * 60;
constexpr int max_port = 65535;
constexpr size_t max_host_length = host_size - 1;

const char usage_text[] =
    "usage:\n"
    "  quorvane-voice-check falloff HOST:PORT [--api-key KEY] [--credential FILE --identity HASH]\n"
    "                       [--seconds N] [--json]\n"
    "  quorvane-voice-check web [--web-host HOST] [--web-port PORT] [--ca FILE] [--from VERSION] [--link] [--json]\n"
    "  quorvane-voice-check release VERSION --out DIR --windows DLL --linux SO [--web-host HOST] [--json]\n"
    "\n"
    "falloff   the handshake as the plugin makes it (--api-key: legacy hello; --credential, a player's\n"
    "          quorvane_voice_token.txt, with that player's --identity: challenge and response), then\n"
    "          every line the server sends for N seconds (default 30)\n"
    "web       the release description the plugin fetches, decided for Windows and Linux players of\n"
    "          VERSION (default: this build's); --link also starts one link with a throwaway identity\n"
    "          and checks the start and status replies (no browser is opened)\n"
    "release   writes the two libraries under their release names, the bundle and stable.json into DIR,\n"
    "          once the plugin's own rules would offer them; VERSION must be newer than this build's\n"
    "\n"
    "--web-host defaults to the host this build was made for; --web-port (default 443) and --ca (a PEM\n"
    "file of one more trusted CA, Linux only) reach a service under test. --json prints the report as\n"
    "JSON. Exit code: 0 conforms, 1 problems found, 2 unreachable or used wrongly.\n";

bool parse_number(const std::string &text, int low, int high, int *out) {
    if (text.empty() || text.size() > 9) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

// HOST:PORT, or [IPv6]:PORT.
bool parse_host_port(const std::string &text, std::string *host, int *port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false;
    }
    if (h.size() > max_host_length || !is_visible_ascii(h.c_str())) return false;
    *host = h;
    return parse_number(text.substr(colon + 1), 1, max_port, port);
}

// A name that goes verbatim into addresses and the release description.
bool web_host_is_usable(const std::string &host) {
    return !host.empty() && host.size() <= max_host_length && is_visible_ascii(host.c_str()) &&
           host.find_first_of("/\\\"?#@:") == std::string::npos;
}

struct command_line {
    std::string command;
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    bool json = false;
    std::string error;

    bool has(const char *name) const {
        for (const auto &o : options)
            if (o.first == name) return true;
        return false;
    }
    std::string value(const char *name, const std::string &otherwise = "") const {
        for (const auto &o : options)
            if (o.first == name) return o.second;
        return otherwise;
    }
};

// Options of each command; those after the bar take no value.
bool option_known(const std::string &command, const std::string &name, bool *takes_value) {
    static const struct {
        const char *command;
        const char *with_value[6];
        const char *flags[2];
    } table[] = {
        {"falloff", {"--api-key", "--credential", "--identity", "--seconds"}, {}},
        {"web", {"--web-host", "--web-port", "--ca", "--from"}, {"--link"}},
        {"release", {"--out", "--windows", "--linux", "--web-host"}, {}},
    };
    for (const auto &row : table) {
        if (command != row.command) continue;
        for (const char *o : row.with_value)
            if (o && name == o) return *takes_value = true;
        for (const char *o : row.flags)
            if (o && name == o) {
                *takes_value = false;
                return true;
            }
    }
    return false;
}

command_line read_command_line(const std::vector<std::string> &args) {
    command_line c;
    size_t i = 0;
    for (const std::string &a : args)
        if (a == "--json") c.json = true;
    for (; i < args.size() && args[i] == "--json"; ++i) {
    }
    if (i == args.size()) {
        c.error = "no command given";
        return c;
    }
    c.command = args[i++];
    if (c.command != "falloff" && c.command != "web" && c.command != "release") {
        c.error = "unknown command `" + c.command + "`";
        return c;
    }
    for (; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--json") continue;
        if (a.rfind("--", 0) != 0) {
            c.positional.push_back(a);
            continue;
        }
        bool takes_value = false;
        if (!option_known(c.command, a, &takes_value)) {
            c.error = "unknown option " + a + " for " + c.command;
            return c;
        }
        if (c.has(a.c_str())) {
            c.error = a + " given twice";
            return c;
        }
        if (!takes_value) {
            c.options.emplace_back(a, "");
            continue;
        }
        if (i + 1 >= args.size()) {
            c.error = a + " needs a value";
            return c;
        }
        c.options.emplace_back(a, args[++i]);
    }
    return c;
}

int usage_error(const command_line &c, const std::string &message) {
    check_report r(c.command.empty() ? "quorvane-voice-check" : c.command, "", c.json);
    r.section("Usage");
    // The synopsis lines; --help tells the rest.
    const std::string text = usage_text;
    for (size_t from = text.find('\n') + 1; from < text.size() && text[from] != '\n';) {
        size_t end = text.find('\n', from);
        r.line(text.substr(from, end - from));
        from = end + 1;
    }
    r.line("(quorvane-voice-check --help tells more)");
    return r.finish(check_outcome::usage, message);
}

int run_falloff(const command_line &c) {
    falloff_options o;
    if (c.positional.size() != 1) return usage_error(c, "falloff needs one HOST:PORT");
    if (!parse_host_port(c.positional[0], &o.host, &o.port))
        return usage_error(c, "`" + c.positional[0] + "` is no HOST:PORT (a port from 1 to 65535)");
    o.api_key = c.value("--api-key");
    if (c.has("--api-key") && (o.api_key.empty() || o.api_key.find_first_of("\r\n") != std::string::npos))
        return usage_error(c, "--api-key must be one line of text");
    if (c.has("--seconds") && !parse_number(c.value("--seconds"), 1, max_seconds, &o.seconds))
        return usage_error(c, "--seconds takes a whole number of seconds from 1 to 86400");
    o.identity = c.value("--identity");
    o.identity_given = c.has("--identity");
    if (o.identity_given &&
        (o.identity.empty() || o.identity.size() >= hash_size || !is_visible_ascii(o.identity.c_str())))
        return usage_error(c, "--identity takes a certificate hash: 1 to 127 characters, no blanks");
    if (c.has("--credential")) {
        if (!o.identity_given)
            return usage_error(c, "--credential needs --identity: the hash of the player the credential belongs to");
        char token[credential_size] = {};
        switch (credential_read_token_line(c.value("--credential").c_str(), token)) {
            case token_file_read::unreadable:
                return usage_error(c, "cannot read the credential file " + c.value("--credential"));
            case token_file_read::invalid:
                return usage_error(c, c.value("--credential") +
                                          " holds no credential on its first line (vc1. and 43 letters, digits, _ or "
                                          "-, as in a player's quorvane_voice_token.txt)");
            case token_file_read::valid:
                o.credential = token;
                break;
        }
    }
    if (o.api_key.empty() && o.credential.empty())
        return usage_error(c, "give --api-key or --credential: without either the plugin makes no attempt");
    if (!o.identity_given) o.identity = throwaway_identity();

    const bool literal_v6 = o.host.find(':') != std::string::npos;
    check_report r("falloff", (literal_v6 ? "[" + o.host + "]" : o.host) + ":" + std::to_string(o.port), c.json);
    if (!platform_network_startup()) return r.finish(check_outcome::failed, "the socket layer did not start");
    std::string summary;
    check_outcome outcome = check_falloff(o, r, &summary);
    int code = r.finish(outcome, summary);
    platform_network_cleanup();
    return code;
}

int run_web(const command_line &c) {
    web_options o;
    if (!c.positional.empty()) return usage_error(c, "web takes no " + c.positional[0]);
    o.web_host = c.value("--web-host", QV_WEB_HOST);
    if (!web_host_is_usable(o.web_host))
        return usage_error(c, "--web-host takes a host name (the port goes to --web-port)");
    if (c.has("--web-port") && !parse_number(c.value("--web-port"), 1, max_port, &o.web_port))
        return usage_error(c, "--web-port takes a port from 1 to 65535");
    o.from = c.value("--from", own_version_text);
    parsed_version v{};
    if (!parse_version(o.from.c_str(), &v)) return usage_error(c, "--from takes a version such as 0.2.7-alpha");
    o.link = c.has("--link");
    const std::string ca = c.value("--ca");

    check_report r("web", o.web_host + (o.web_port == web_https_port ? "" : ":" + std::to_string(o.web_port)), c.json);
    if (!ca.empty() && std::strcmp(platform_name(), "windows") == 0) {
        r.section("Note");
        r.line("--ca is ignored on Windows: the system's Root store alone decides, as for the plugin");
    }
    check_set_web_endpoint(o.web_host.c_str(), static_cast<uint16_t>(o.web_port), ca.empty() ? nullptr : ca.c_str());
    http_client_init();
    std::string summary;
    check_outcome outcome = check_web(o, r, &summary);
    return r.finish(outcome, summary);
}

int run_release(const command_line &c) {
    release_options o;
    if (c.positional.size() != 1) return usage_error(c, "release needs one VERSION");
    o.version = c.positional[0];
    parsed_version v{};
    if (!parse_version(o.version.c_str(), &v))
        return usage_error(c, "`" + o.version + "` is no version the plugin reads (such as 0.2.8 or 0.3.0-beta.1)");
    o.out_dir = c.value("--out");
    o.windows_library = c.value("--windows");
    o.linux_library = c.value("--linux");
    if (o.out_dir.empty() || o.windows_library.empty() || o.linux_library.empty())
        return usage_error(
            c, "release needs --out DIR, --windows DLL and --linux SO (the libraries of " + o.version + ")");
    o.web_host = c.value("--web-host", QV_WEB_HOST);
    if (!web_host_is_usable(o.web_host)) return usage_error(c, "--web-host takes a host name");
    check_report r("release", o.version, c.json);
    std::string summary;
    check_outcome outcome = check_release(o, r, &summary);
    return r.finish(outcome, summary);
}
}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        char text[argument_size];
        size_t n = platform_program_argument(argc, argv, i, text, sizeof text);
        args.push_back(n < sizeof text ? std::string(text, n) : std::string());
    }
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(usage_text, stdout);
        return exit_conforms;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("quorvane-voice-check %s\n", own_version_text);
        return exit_conforms;
    }
    state_lock_setup();
    command_line c = read_command_line(args);
    if (!c.error.empty()) return usage_error(c, c.error);
    if (c.command == "falloff") return run_falloff(c);
    if (c.command == "web") return run_web(c);
    return run_release(c);
}
