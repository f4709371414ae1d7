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
//  - There is at most one server connection, as in Mumble: connect() opens
//    it (a new id each time in Mumble; the test picks it) and it stays the
//    active one after a disconnect, until the next connect.
//    getActiveServerConnection answers it (error 2 before any connect) and
//    isConnectionSynchronized tells whether it has synchronized (error 5
//    for another id).
//  - Users, hashes and the local user are known only on a synchronized
//    connection (after synchronize(), until disconnect()).
//  - Server and user events reach the plugin only while it is started
//    (from a successful init to its shutdown), as Mumble sends them only to
//    loaded plugins; the host's own state changes all the same. So a plugin
//    started while the host is on a server hears of it from no event.
//  - Mumble unloads the library after a shutdown ("Reload plugins", the
//    updater) and loads it again: unload() and reload() do the same.
//  - The disconnect is reported on a thread of its own (Mumble's connection
//    thread), not as the main thread.
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
    // True between a successful init and its shutdown.
    bool started() const { return started_; }
    // Mumble's side of "Reload plugins" and of an update: the library is
    // closed (after a shutdown) and opened again from `library_path` (the
    // same file when empty), its exports looked up anew. False, with
    // load_error() set, when it does not load.
    void unload();
    bool reload(const std::string &library_path = {});
    // Mumble begins a connection: it becomes the active one, not yet
    // synchronized (no event for the plugin).
    void connect(mumble_connection_t connection);
    // The connection has synchronized (connected first when it is not the
    // active one): users become known, and a started plugin hears of it.
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
    // Pins the active connection: a later synchronize of another id leaves
    // it, so calls naming that id fail.
    void set_connection(mumble_connection_t connection);
    // What getActiveServerConnection and isConnectionSynchronized return
    // instead of their answer (0: they answer as Mumble does).
    void set_connection_query_results(mumble_error_t active, mumble_error_t synchronized);
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
    mumble_error_t on_get_active_connection(mumble_connection_t *out);
    mumble_error_t on_is_synchronized(mumble_connection_t, bool *out);
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
        if (!take_main_thread(std::chrono::steady_clock::now() + host_main_thread_wait)) {
            ++main_timeouts_;
            return mumble_error_api_request_timeout;
        }
        mumble_error_t result = fn();
        give_main_thread_back();
        return result;
    }

  private:
    struct main_thread_scope {
        explicit main_thread_scope(mumble_host &h) : host(h) {
            host.take_main_thread(std::chrono::steady_clock::time_point::max());
        }
        ~main_thread_scope() { host.give_main_thread_back(); }
        mumble_host &host;
    };

    // The main thread as a flag taken in turns (polled: a timed mutex is
    // not understood by ThreadSanitizer).
    bool take_main_thread(std::chrono::steady_clock::time_point deadline);
    void give_main_thread_back();

    bool knows(mumble_connection_t c) const { return synchronized_ && active_ && *active_ == c; }
    void *symbol(const char *name) const;
    void open_library(const std::string &path);
    // Runs an event export as the main thread, only while the plugin is started.
    template <typename Fn>
    void event(Fn &&fn) {
        as_main_thread([&] {
            if (started_) fn();
        });
    }

    std::string library_path_;
    void *library_ = nullptr;
    std::atomic<bool> started_{false};
    std::string load_error_;
    mumble_api_table table_{};
    mumble_exports exports_{};
    size_t exports_found_ = 0;

    std::mutex main_mutex_;
    bool main_busy_ = false;  // under main_mutex_
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
    std::optional<mumble_connection_t> active_;  // the one connection, kept after a disconnect
    bool pinned_ = false;                        // set_connection: synchronize leaves active_
    bool synchronized_ = false;                  // the active connection has synchronized
    mumble_error_t active_result_ = 0;
    mumble_error_t synchronized_result_ = 0;
};
