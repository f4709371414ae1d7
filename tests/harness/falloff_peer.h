// A scriptable falloff server on loopback for the tests. It listens on
// 127.0.0.1 at a port of the system's choosing and serves connections one
// after another on its own thread; each connection runs a script of steps
// (read a line, send bytes, pause, close, wait for the client to close).
// Everything the client sends is recorded per connection, as it arrives.
//
//   falloff_peer peer({peer_expect("HELLO2 "), peer_send("CHALLENGE " + hex + "\n"),
//                      peer_expect("AUTH "), peer_send("OK\n"), peer_wait_close()});
//   g_state.server_port = peer.port();
//   ...
//   EXPECT_EQ(peer.lines(0).at(1), "AUTH " + expected);
//   EXPECT_TRUE(peer.problems().empty());
//
// All times here are real milliseconds (the plugin's test time scale does not
// apply to the peer).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How long a read or a wait for the client's close lasts unless told.
constexpr int peer_default_wait_ms = 10000;

// Sends the answer to each line (nothing when the answer is empty).
using peer_responder = std::function<std::string(const std::string &line)>;

struct peer_step {
    enum class kind { read_line, send, pause, close, reset, wait_close };
    kind what = kind::pause;
    std::string text;       // read_line: the prefix expected (when check); send: the bytes
    bool check = false;     // read_line: a line not beginning with text is a problem
    bool bytewise = false;  // send: one byte per send call
    int ms = 0;             // read_line, wait_close: the limit; pause: the length; send: gap between bytes
    peer_responder answer;  // wait_close: answers the lines that arrive meanwhile
};
using peer_script = std::vector<peer_step>;

// Waits for the next line from the client (a line that already arrived
// counts). A time-out is a problem; the client closing ends the script.
peer_step peer_read(int timeout_ms = peer_default_wait_ms);
// peer_read, and a line that does not begin with `prefix` is a problem.
peer_step peer_expect(std::string prefix, int timeout_ms = peer_default_wait_ms);
// Sends the bytes in one go.
peer_step peer_send(std::string bytes);
// Sends one byte per call, pausing gap_ms after each: half lines, lone CRs.
peer_step peer_send_bytewise(std::string bytes, int gap_ms = 0);
// Pauses, still recording what arrives.
peer_step peer_pause(int ms);
// Takes in what already arrived and closes (FIN); the script ends here.
peer_step peer_close();
// Closes with a reset (RST) instead: the client's receive fails.
peer_step peer_reset();
// Records what arrives, answering each line through `answer` when given and
// sending what the test push()es, until the client closes; not closing
// within timeout_ms is a problem.
peer_step peer_wait_close(int timeout_ms = peer_default_wait_ms, peer_responder answer = {});

// What arrived on one connection.
struct peer_connection {
    std::vector<std::string> lines;  // each LF-ended line without its LF (a CR stays)
    std::string bytes;               // every byte received, in order, a trailing partial line included
    bool client_closed = false;      // the client closed or reset its end
    bool finished = false;           // the script ended and the peer closed the socket
};

class falloff_peer {
  public:
    // Reads a connection's first line (recorded like any other), then runs
    // the script chosen from the connection's index (from 0) and that line.
    // A client that sends no first line is closed without a script.
    using chooser = std::function<peer_script(size_t index, const std::string &first_line)>;

    // Every connection runs `each`.
    explicit falloff_peer(peer_script each);
    // Connection i runs scripts[i]; connections beyond the list are closed at once.
    explicit falloff_peer(std::vector<peer_script> scripts);
    explicit falloff_peer(chooser choose);
    // Stops at once (within about 50 ms plus any send in progress) and joins.
    ~falloff_peer();
    falloff_peer(const falloff_peer &) = delete;
    falloff_peer &operator=(const falloff_peer &) = delete;

    // 0 when the peer could not listen (also reported in problems()).
    uint16_t port() const { return port_; }

    // Connections accepted so far.
    size_t connection_count() const;
    // A copy of the record of connection `index`; empty when not yet accepted.
    peer_connection connection(size_t index) const;
    std::vector<std::string> lines(size_t index) const { return connection(index).lines; }
    // Expectations not met, time-outs, failures: empty when all went to plan.
    std::vector<std::string> problems() const;

    // Each waits up to ms real milliseconds; true once the condition holds.
    bool wait_for_connections(size_t count, int ms = peer_default_wait_ms) const;
    bool wait_for_lines(size_t index, size_t count, int ms = peer_default_wait_ms) const;
    bool wait_until_finished(size_t index, int ms = peer_default_wait_ms) const;

    // Queues bytes for the connection that is in a wait_close step; they go
    // out as soon as it looks (within about 20 ms), in the order queued.
    void push(std::string bytes);

    // Stops serving: steps in progress end, the open socket is closed. Idempotent.
    void stop();

  private:
    struct session;
    void start(std::function<peer_script(size_t, const std::string *)> choose, bool read_first_line);
    void serve();
    void run_connection(intptr_t s, size_t index);
    void problem(const std::string &text);
    template <typename Pred>
    bool wait(Pred done, int ms) const;

    std::function<peer_script(size_t, const std::string *)> choose_;
    bool read_first_line_ = false;
    intptr_t listener_ = -1;
    uint16_t port_ = 0;
    bool network_started_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stop_ = false;
    std::vector<peer_connection> connections_;
    std::vector<std::string> problems_;
    std::string outbox_;
    std::thread thread_;
};

// A loopback port that refuses connections while the object lives (a socket
// bound to it that never listens).
class refused_port {
  public:
    refused_port();
    ~refused_port();
    refused_port(const refused_port &) = delete;
    refused_port &operator=(const refused_port &) = delete;
    uint16_t port() const { return port_; }

  private:
    intptr_t socket_ = -1;
    uint16_t port_ = 0;
    bool network_started_ = false;
};
