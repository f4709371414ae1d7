#include "web_peer.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {
constexpr uint32_t control_timeout_ms = 10000;
constexpr size_t receive_chunk = 4096;

std::string native_path(const std::string &path) {
#if defined(_WIN32)
    // The build runs on the Unix side; Wine shows that file system as Z:.
    if (!path.empty() && path[0] == '/') return "Z:" + path;
#endif
    return path;
}

std::string encode_query_value(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// One "<length>:<bytes>" field at pos; false when the record is cut short.
bool read_field(const std::string &text, size_t *pos, std::string *out) {
    size_t colon = text.find(':', *pos);
    if (colon == std::string::npos) return false;
    size_t length = std::strtoul(text.substr(*pos, colon - *pos).c_str(), nullptr, 10);
    if (colon + 1 + length > text.size()) return false;
    *out = text.substr(colon + 1, length);
    *pos = colon + 1 + length;
    return true;
}
}  // namespace

web_peer::web_peer() {
    network_started_ = platform_network_startup();
    std::ifstream info(native_path(QV_WEB_PEER_DIR "/peer.txt"));
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("control_port=", 0) == 0) control_port_ = static_cast<uint16_t>(std::atoi(line.c_str() + 13));
        if (line.rfind("ca_file=", 0) == 0) ca_file_ = native_path(line.substr(8));
    }
    if (control_port_ == 0) {
        error_ = "web peer not running (no " QV_WEB_PEER_DIR "/peer.txt): run the test through ctest";
        return;
    }
    std::string reply;
    if (!control("POST", "/session", "", &reply, &error_)) return;
    unsigned port = 0, untrusted = 0;
    char id[32] = {};
    if (std::sscanf(reply.c_str(), "%31s %u %u", id, &port, &untrusted) != 3) {
        error_ = "web peer: bad session reply '" + reply + "'";
        return;
    }
    session_ = id;
    port_ = static_cast<uint16_t>(port);
    untrusted_port_ = static_cast<uint16_t>(untrusted);
}

web_peer::~web_peer() {
    if (!session_.empty()) {
        std::string ignored, error;
        control("DELETE", "/session/" + session_, "", &ignored, &error);
    }
    if (network_started_) platform_network_cleanup();
}

bool web_peer::reply(const std::string &path, int status, const std::string &body, int delay_ms) {
    web_reply_shape shape;
    shape.delay_ms = delay_ms;
    return reply(path, status, body, shape);
}

bool web_peer::reply(const std::string &path, int status, const std::string &body, const web_reply_shape &shape) {
    std::string target = "/session/" + session_ + "/reply?path=" + encode_query_value(path) +
                         "&status=" + std::to_string(status) + "&delay_ms=" + std::to_string(shape.delay_ms) +
                         "&drip_ms=" + std::to_string(shape.drip_ms) +
                         "&stall_after=" + std::to_string(shape.stall_after);
    for (const std::string &line : shape.headers)
        target += "&header=" + encode_query_value(line);
    std::string ignored, error;
    return control("PUT", target, body, &ignored, &error);
}

std::vector<web_request> web_peer::requests() const {
    std::vector<web_request> out;
    std::string text, error;
    if (!control("GET", "/session/" + session_ + "/requests", "", &text, &error)) return out;
    size_t pos = 0;
    while (pos < text.size()) {
        web_request r;
        if (!read_field(text, &pos, &r.method) || !read_field(text, &pos, &r.path) ||
            !read_field(text, &pos, &r.headers) || !read_field(text, &pos, &r.body))
            break;
        out.push_back(std::move(r));
    }
    return out;
}

bool web_peer::control(const std::string &method, const std::string &target, const std::string &body,
                       std::string *reply, std::string *error) const {
    platform_socket s = platform_invalid_socket;
    std::string port = std::to_string(control_port_);
    if (!platform_tcp_connect("127.0.0.1", port.c_str(), control_timeout_ms, &s, nullptr)) {
        *error = "web peer: no connection to its control port " + port;
        return false;
    }
    std::string request = method + " " + target +
                          " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body;
    for (size_t sent = 0; sent < request.size();) {
        int n = platform_socket_send(s, request.data() + sent, request.size() - sent);
        if (n <= 0) {
            platform_socket_close(s);
            *error = "web peer: control request not sent";
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char chunk[receive_chunk];
    for (;;) {
        int n = platform_socket_recv(s, chunk, sizeof chunk);
        if (n <= 0) break;
        answer.append(chunk, static_cast<size_t>(n));
    }
    platform_socket_close(s);
    size_t end = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.0 200", 0) != 0 || end == std::string::npos) {
        *error = "web peer: control request " + target + " refused: " + answer.substr(0, answer.find('\r'));
        return false;
    }
    *reply = answer.substr(end + 4);
    return true;
}

web_peer_environment::web_peer_environment(const web_peer &peer, bool untrusted)
    : host_("QUORVANE_VOICE_TEST_WEB_HOST", "localhost"),
      port_("QUORVANE_VOICE_TEST_WEB_PORT", std::to_string(untrusted ? peer.untrusted_port() : peer.port())),
      ca_("QUORVANE_VOICE_TEST_WEB_CA", peer.ca_file()) {}
