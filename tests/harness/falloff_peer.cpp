#include "falloff_peer.h"

#include "loopback.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

namespace {
using namespace loopback;
#if defined(_WIN32)
constexpr int send_flags = 0;
#else
// The client may be gone: a send must fail, not raise SIGPIPE.
constexpr int send_flags = MSG_NOSIGNAL;
#endif

// Every wait is cut into slices of this so a stop is seen promptly.
constexpr int slice_ms = 20;
// Bounds one send call, so a client that stops reading cannot hold the peer.
constexpr int send_timeout_ms = 2000;
constexpr size_t receive_chunk = 4096;
constexpr size_t send_chunk = 4096;
constexpr int listen_backlog = 16;

native_socket to_native(intptr_t s) { return static_cast<native_socket>(s); }
intptr_t from_native(native_socket s) { return s == no_socket ? -1 : static_cast<intptr_t>(s); }

using clock_type = std::chrono::steady_clock;

clock_type::time_point after(int ms) { return clock_type::now() + std::chrono::milliseconds(ms); }

int ms_left(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// True when s has something to read (data, a close or an error) within ms.
bool readable(native_socket s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &tv) > 0;
}

void set_send_timeout(native_socket s, int ms) {
#if defined(_WIN32)
    DWORD value = static_cast<DWORD>(ms);
#else
    timeval value{};
    value.tv_sec = ms / 1000;
    value.tv_usec = (ms % 1000) * 1000;
#endif
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&value), sizeof value);
}

void set_no_delay(native_socket s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

}  // namespace

peer_step peer_read(int timeout_ms) {
    peer_step step;
    step.what = peer_step::kind::read_line;
    step.ms = timeout_ms;
    return step;
}

peer_step peer_expect(std::string prefix, int timeout_ms) {
    peer_step step = peer_read(timeout_ms);
    step.text = std::move(prefix);
    step.check = true;
    return step;
}

peer_step peer_send(std::string bytes) {
    peer_step step;
    step.what = peer_step::kind::send;
    step.text = std::move(bytes);
    return step;
}

peer_step peer_send_bytewise(std::string bytes, int gap_ms) {
    peer_step step = peer_send(std::move(bytes));
    step.bytewise = true;
    step.ms = gap_ms;
    return step;
}

peer_step peer_pause(int ms) {
    peer_step step;
    step.what = peer_step::kind::pause;
    step.ms = ms;
    return step;
}

peer_step peer_close() {
    peer_step step;
    step.what = peer_step::kind::close;
    return step;
}

peer_step peer_reset() {
    peer_step step;
    step.what = peer_step::kind::reset;
    return step;
}

peer_step peer_wait_close(int timeout_ms, peer_responder answer) {
    peer_step step;
    step.what = peer_step::kind::wait_close;
    step.ms = timeout_ms;
    step.answer = std::move(answer);
    return step;
}

// One accepted connection while its script runs, on the peer's thread.
struct falloff_peer::session {
    falloff_peer &peer;
    native_socket s;
    size_t index;
    size_t consumed = 0;  // lines taken by read steps
    std::string partial;  // bytes after the last LF
    bool client_closed = false;

    session(falloff_peer &owner, native_socket socket, size_t number) : peer(owner), s(socket), index(number) {}

    bool stopping() const {
        std::lock_guard<std::mutex> hold(peer.mutex_);
        return peer.stop_;
    }

    std::string name() const { return "connection " + std::to_string(index) + ": "; }

    // Waits up to ms for bytes and records what arrives.
    void pump(int ms) {
        if (client_closed) {
            if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return;
        }
        if (!readable(s, ms)) return;
        char chunk[receive_chunk];
        int n = recv(s, chunk, static_cast<int>(sizeof chunk), 0);
        std::lock_guard<std::mutex> hold(peer.mutex_);
        peer_connection &record = peer.connections_[index];
        if (n <= 0) {
            client_closed = true;
            record.client_closed = true;
        } else {
            record.bytes.append(chunk, static_cast<size_t>(n));
            for (int i = 0; i < n; ++i) {
                if (chunk[i] == '\n') {
                    record.lines.push_back(partial);
                    partial.clear();
                } else {
                    partial.push_back(chunk[i]);
                }
            }
        }
        peer.changed_.notify_all();
    }

    // Takes in whatever has already arrived.
    void drain() {
        while (!client_closed && readable(s, 0))
            pump(0);
    }

    bool take_line(std::string *line) {
        std::lock_guard<std::mutex> hold(peer.mutex_);
        const std::vector<std::string> &lines = peer.connections_[index].lines;
        if (consumed >= lines.size()) return false;
        *line = lines[consumed++];
        return true;
    }

    // The next line not yet taken; false on time-out (a problem), close or stop.
    bool next_line(int ms, std::string *line) {
        auto deadline = after(ms);
        for (;;) {
            if (take_line(line)) return true;
            if (client_closed || stopping()) return false;
            int left = ms_left(deadline);
            if (left == 0) {
                peer.problem(name() + "no line within " + std::to_string(ms) + " ms");
                return false;
            }
            pump(std::min(left, slice_ms));
        }
    }

    void pause(int ms) {
        auto deadline = after(ms);
        for (int left = ms_left(deadline); left > 0 && !stopping(); left = ms_left(deadline))
            pump(std::min(left, slice_ms));
    }

    bool send_bytes(const char *data, size_t length) {
        while (length > 0) {
            if (stopping()) return false;
            int n = send(s, data, static_cast<int>(std::min(length, send_chunk)), send_flags);
            if (n <= 0) return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    bool send_step(const peer_step &step) {
        if (!step.bytewise) return send_bytes(step.text.data(), step.text.size());
        for (char one : step.text) {
            if (!send_bytes(&one, 1)) return false;
            if (step.ms > 0) pause(step.ms);
        }
        return true;
    }

    void wait_close(const peer_step &step) {
        auto deadline = after(step.ms);
        for (;;) {
            std::string line;
            while (take_line(&line)) {
                std::string reply = step.answer ? step.answer(line) : std::string();
                if (!reply.empty() && !send_bytes(reply.data(), reply.size())) return;
            }
            std::string pushed;
            {
                std::lock_guard<std::mutex> hold(peer.mutex_);
                pushed.swap(peer.outbox_);
            }
            if (!pushed.empty() && !send_bytes(pushed.data(), pushed.size())) return;
            if (client_closed || stopping()) return;
            int left = ms_left(deadline);
            if (left == 0) {
                peer.problem(name() + "client did not close within " + std::to_string(step.ms) + " ms");
                return;
            }
            pump(std::min(left, slice_ms));
        }
    }

    // Runs the steps; false once the connection is over (closed, reset, failed).
    bool run(const peer_script &script) {
        for (const peer_step &step : script) {
            if (stopping()) return false;
            switch (step.what) {
                case peer_step::kind::read_line: {
                    std::string line;
                    if (!next_line(step.ms, &line)) return false;
                    if (step.check && line.compare(0, step.text.size(), step.text) != 0)
                        peer.problem(name() + "expected a line beginning with \"" + step.text + "\", got \"" + line +
                                     "\"");
                    break;
                }
                case peer_step::kind::send:
                    if (!send_step(step)) return false;
                    break;
                case peer_step::kind::pause:
                    pause(step.ms);
                    break;
                case peer_step::kind::close:
                    return false;
                case peer_step::kind::reset: {
                    linger abort{};
                    abort.l_onoff = 1;
                    abort.l_linger = 0;
                    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof abort);
                    close_native(s);
                    s = no_socket;
                    return false;
                }
                case peer_step::kind::wait_close:
                    wait_close(step);
                    return false;
            }
        }
        return false;
    }

    void finish() {
        if (s != no_socket) {
            // Unread bytes at close would make the system send a reset instead
            // of the orderly end the script asked for.
            drain();
            shutdown(s, shut_write);
            close_native(s);
        }
        std::lock_guard<std::mutex> hold(peer.mutex_);
        peer.connections_[index].finished = true;
        peer.changed_.notify_all();
    }
};

falloff_peer::falloff_peer(peer_script each) {
    start([each](size_t, const std::string *) { return each; }, false);
}

falloff_peer::falloff_peer(std::vector<peer_script> scripts) {
    auto choose = [scripts](size_t index, const std::string *) {
        return index < scripts.size() ? scripts[index] : peer_script{};
    };
    start(choose, false);
}

falloff_peer::falloff_peer(chooser choose) {
    start([choose](size_t index, const std::string *first_line) { return choose(index, *first_line); }, true);
}

falloff_peer::~falloff_peer() {
    stop();
    if (listener_ != -1) close_native(to_native(listener_));
    if (network_started_) network_stop();
}

void falloff_peer::start(std::function<peer_script(size_t, const std::string *)> choose, bool read_first_line) {
    choose_ = std::move(choose);
    read_first_line_ = read_first_line;
    network_started_ = network_start();
    native_socket s = bind_loopback(&port_);
    if (s != no_socket && listen(s, listen_backlog) != 0) {
        close_native(s);
        s = no_socket;
    }
    if (s == no_socket) {
        port_ = 0;
        problem("cannot listen on 127.0.0.1");
        return;
    }
    listener_ = from_native(s);
    thread_ = std::thread(&falloff_peer::serve, this);
}

void falloff_peer::push(std::string bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    outbox_ += bytes;
}

void falloff_peer::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void falloff_peer::serve() {
    native_socket listener = to_native(listener_);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (stop_) return;
        }
        if (!readable(listener, slice_ms)) continue;
        native_socket s = accept(listener, nullptr, nullptr);
        if (s == no_socket) continue;
        set_no_delay(s);
        set_send_timeout(s, send_timeout_ms);
        size_t index;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            index = connections_.size();
            connections_.emplace_back();
        }
        changed_.notify_all();
        run_connection(from_native(s), index);
    }
}

void falloff_peer::run_connection(intptr_t s, size_t index) {
    session current(*this, to_native(s), index);
    std::string first_line;
    bool go = !read_first_line_ || current.next_line(peer_default_wait_ms, &first_line);
    if (go) {
        peer_script script;
        try {
            script = choose_(index, &first_line);
        } catch (const std::exception &e) {
            problem(current.name() + "script choice threw: " + e.what());
        } catch (...) {
            problem(current.name() + "script choice threw");
        }
        current.run(script);
    }
    current.finish();
}

void falloff_peer::problem(const std::string &text) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        problems_.push_back(text);
    }
    changed_.notify_all();
}

size_t falloff_peer::connection_count() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return connections_.size();
}

peer_connection falloff_peer::connection(size_t index) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return index < connections_.size() ? connections_[index] : peer_connection{};
}

std::vector<std::string> falloff_peer::problems() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return problems_;
}

template <typename Pred>
bool falloff_peer::wait(Pred done, int ms) const {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(ms), done);
}

bool falloff_peer::wait_for_connections(size_t count, int ms) const {
    return wait([&] { return connections_.size() >= count; }, ms);
}

bool falloff_peer::wait_for_lines(size_t index, size_t count, int ms) const {
    return wait([&] { return index < connections_.size() && connections_[index].lines.size() >= count; }, ms);
}

bool falloff_peer::wait_until_finished(size_t index, int ms) const {
    return wait([&] { return index < connections_.size() && connections_[index].finished; }, ms);
}

refused_port::refused_port() {
    network_started_ = network_start();
    native_socket s = bind_loopback(&port_);
    socket_ = from_native(s);
}

refused_port::~refused_port() {
    if (socket_ != -1) close_native(to_native(socket_));
    if (network_started_) network_stop();
}
