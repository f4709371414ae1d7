// A simulated Mumble host: loads the real plugin library, looks its exports
// up by name, hands over a 38-slot function table, scripts users and hashes,
// records every log call and checks that every pointer it hands out comes
// back through freeMemory exactly once.
#pragma once

#include "abi/mumble_abi.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
    void *symbol(const char *name) const;
    template <typename Fn>
    Fn fn(const char *name) const {
        return reinterpret_cast<Fn>(symbol(name));
    }

    // The exports Mumble drives most.
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
    bool audio(float *pcm, uint32_t frames, uint16_t channels, bool speech, mumble_userid_t user);

    // Script.
    void set_local_user(uint32_t id, mumble_error_t result = 0);
    void set_users(std::vector<host_user> users, mumble_error_t result = 0);
    // When set, the host knows only this connection: calls naming another fail.
    void set_connection(mumble_connection_t connection);

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

  private:
    bool knows(mumble_connection_t c) const { return !connection_ || *connection_ == c; }

    void *library_ = nullptr;
    std::string load_error_;
    mumble_api_table table_{};

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
};
