// The tests' side of the web-service peer (tests/harness/web_peer.py), which
// a ctest fixture starts once per test run with freshly made certificates.
// Each web_peer object is a session of its own on that peer: two HTTPS ports
// on loopback (one with a certificate from the run's test CA, one from a CA
// that nothing trusts), replies scripted per path, and a record of every
// request that reached it.
//
//   web_peer peer;
//   ASSERT_TRUE(peer.ok()) << peer.error();
//   peer.reply("/api/voice/releases/stable.json", 200, body);
//   web_peer_environment env(peer);   // the development library goes there
//   ...
//   EXPECT_EQ(peer.requests().at(0).path, "/api/voice/releases/stable.json");
//
// Under Wine the test CA is in the prefix's machine Root store (the fixture
// puts it there), so the plugin's WinHTTP client trusts it with full checks.
#pragma once

#include "sandbox.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct web_request {
    std::string method;
    std::string path;     // with the query, as sent
    std::string headers;  // "Name: value\r\n" per header, in the order sent
    std::string body;
};

// How a scripted reply goes out beyond its status and body.
struct web_reply_shape {
    int delay_ms = 0;                  // real milliseconds before the reply starts
    std::vector<std::string> headers;  // extra lines, "Name: value" each
    int drip_ms = 0;                   // > 0: the whole reply two bytes every drip_ms
    int stall_after = -1;              // >= 0: the header block and this many body bytes, then silence
};

class web_peer {
  public:
    web_peer();
    ~web_peer();
    web_peer(const web_peer &) = delete;
    web_peer &operator=(const web_peer &) = delete;

    // False when the peer is not running (run the tests through ctest).
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }

    uint16_t port() const { return port_; }
    uint16_t untrusted_port() const { return untrusted_port_; }
    // The test CA as a PEM file, a path this program can open.
    const std::string &ca_file() const { return ca_file_; }

    // Requests for exactly `path` (query included) get this status and body,
    // after delay_ms real milliseconds. Unscripted paths get 404.
    bool reply(const std::string &path, int status, const std::string &body, int delay_ms = 0);
    bool reply(const std::string &path, int status, const std::string &body, const web_reply_shape &shape);
    // Every request so far, in the order of arrival.
    std::vector<web_request> requests() const;

  private:
    bool control(const std::string &method, const std::string &target, const std::string &body, std::string *reply,
                 std::string *error) const;

    std::string error_;
    uint16_t control_port_ = 0;
    std::string session_;
    uint16_t port_ = 0;
    uint16_t untrusted_port_ = 0;
    std::string ca_file_;
    bool network_started_ = false;
};

// Points the development library's web client at the peer (host localhost,
// the peer's trusted or untrusted port, the test CA) while the object lives.
class web_peer_environment {
  public:
    explicit web_peer_environment(const web_peer &peer, bool untrusted = false);

  private:
    scoped_env host_, port_, ca_;
};
