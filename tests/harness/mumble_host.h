// A simulated Mumble host: loads the real plugin library, looks its exports
// up by name with the host's own types (abi/mumble_exports.h), hands over a
// 38-slot function table, scripts users and hashes, records every log call
// and checks that every pointer it hands out comes back through freeMemory
// exactly once.
//
// Where the plugin depends on it, it behaves as Mumble 1.5 does:
//  - Host functions run on the host's main thread. The thread inside one of
//    the main-thread wrappers below is that thread and calls directly; any
//    other thread's call waits for the main thread to be free, at most 800 ms
//    (real time), and then fails with the time-out result.
//  - Users, hashes and the local user are known only on a synchronized
//    connection (after synchronize(), until disconnect()).
//  - A user who joins (user_joins) is added and moved into a channel while
//    their certificate hash is still empty; the hash arrives after both events.
#pragma once

#include "abi/mumble_exports.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// How long a host function called from another thread waits for the main
// thread before it fails (Mumble's own figure).
constexpr std::chrono::milliseconds host_main_thread_wait{800};

struct host_user {
    uint32_t id = 0;
    std::optional<std::string> hash;  // nullopt: getUserHash hands out nothing
    mumble_error_t hash_result = 0;   // what getUserHash returns for this user
};

class mumble_host {
  public:
    explicit mumble_host(const std::string &library_path);
    ~mumble_host();
    mumble_host(const mumble_host &) = delete;
    mumble_host &operator=(const mumble_host &) = delete;

    bool loaded() const { return library_ != nullptr; }
    const std::string &load_error() const { return load_error_; }
    // Every export, typed as Mumble declares it (null when missing). Calls
    // through these run on whatever thread makes them, as Mumble's updater
    // and audio thread do.
    const mumble_exports &exports() const { return exports_; }
    size_t exports_found() const { return exports_found_; }

    // The exports Mumble calls on its main thread; each runs as that thread.
    void register_api();
    void register_table(const void *table);
    mumble_error_t init(uint32_t plugin_id = 0x51);
    void shutdown();
    void synchronize(mumble_connection_t connection);
    void disconnect(mumble_connection_t connection);
    void user_added(mumble_connection_t connection, mumble_userid_t user);
    void user_removed(mumble_connection_t connection, mumble_userid_t user);
    void channel_entered(mumble_connection_t connection, mumble_userid_t user, mumble_channelid_t previous,
                         mumble_channelid_t next);
    void talking_state(mumble_connection_t connection, mumble_userid_t user, mumble_talking_state_t state);
    // A user connects to the server, as Mumble reports it: added with an
    // empty hash, moved into `channel`, and only then given `hash`.
    void user_joins(mumble_connection_t connection, mumble_userid_t user, const std::string &hash,
                    mumble_channelid_t channel = 0);
    // The audio thread's callback (no main-thread role).
    bool audio(float *pcm, uint32_t frames, uint16_t channels, bool speech, mumble_userid_t user);

    // Script.
    void set_local_user(uint32_t id, mumble_error_t result = 0);
    void set_users(std::vector<host_user> users, mumble_error_t result = 0);
    // When set, the host knows only this connection: calls naming another fail.
    void set_connection(mumble_connection_t connection);
    // Changes the hash of one scripted user (the host then hands out `hash`).
    void set_user_hash(uint32_t id, const std::string &hash);

    // Runs fn as the host's main thread: other threads' host calls wait.
    template <typename Fn>
    void as_main_thread(Fn &&fn) {
        main_thread_scope scope(*this);
        fn();
    }
    // Host calls that gave up waiting for the main thread.
    size_t main_thread_timeouts() const { return main_timeouts_.load(); }

    // Record.
    std::vector<std::string> logs() const;
    std::vector<uint32_t> log_plugin_ids() const;
    void clear_logs();
    size_t outstanding() const;
    size_t handed_out() const;
    std::vector<std::string> memory_errors() const;
    std::vector<size_t> unexpected_slots() const;

    const mumble_api_table &table() const { return table_; }

    // The host functions reach the host through this; one host at a time.
    static mumble_host *current;

    // Called by the host functions.
    mumble_error_t on_free(const void *pointer);
    mumble_error_t on_get_local_user_id(mumble_connection_t, mumble_userid_t *out);
    mumble_error_t on_get_all_users(mumble_connection_t, mumble_userid_t **users, size_t *count);
    mumble_error_t on_get_user_hash(mumble_connection_t, mumble_userid_t user, const char **hash);
    mumble_error_t on_log(uint32_t plugin_id, const char *text);
    void on_unexpected(size_t slot);

    // Runs one host function as Mumble does: directly on the main thread,
    // otherwise once the main thread is free, or the time-out result.
    template <typename Fn>
    mumble_error_t on_main_thread(Fn &&fn) {
        if (main_owner_.load() == std::this_thread::get_id()) return fn();
        if (!lock_main_within(host_main_thread_wait)) {
            ++main_timeouts_;
            return mumble_error_api_request_timeout;
        }
        main_owner_.store(std::this_thread::get_id());
        mumble_error_t result = fn();
        main_owner_.store(std::thread::id{});
        main_.unlock();
        return result;
    }

  private:
    // Polls instead of try_lock_for: the thread sanitizer of this toolchain
    // does not see a timed lock taken and reports its unlock as a fault.
    bool lock_main_within(std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!main_.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    struct main_thread_scope {
        explicit main_thread_scope(mumble_host &h) : host(h) {
            host.main_.lock();
            host.main_owner_.store(std::this_thread::get_id());
        }
        ~main_thread_scope() {
            host.main_owner_.store(std::thread::id{});
            host.main_.unlock();
        }
        mumble_host &host;
    };

    bool knows(mumble_connection_t c) const {
        return synchronized_ && *synchronized_ == c && (!connection_ || *connection_ == c);
    }
    void *symbol(const char *name) const;

    void *library_ = nullptr;
    std::string load_error_;
    mumble_api_table table_{};
    mumble_exports exports_{};
    size_t exports_found_ = 0;

    std::mutex main_;
    std::atomic<std::thread::id> main_owner_{};
    std::atomic<size_t> main_timeouts_{0};

    mutable std::mutex mutex_;
    std::vector<std::string> logs_;
    std::vector<uint32_t> log_ids_;
    std::map<const void *, bool> handed_;  // pointer -> is array
    size_t handed_total_ = 0;
    std::vector<std::string> memory_errors_;
    std::vector<size_t> unexpected_;
    uint32_t local_user_ = 0;
    mumble_error_t local_user_result_ = 0;
    std::vector<host_user> users_;
    mumble_error_t users_result_ = 0;
    std::optional<mumble_connection_t> connection_;
    std::optional<mumble_connection_t> synchronized_;  // the connection that finished synchronizing
};
