#include "mumble_host.h"

#include "loader.h"

#include <cstring>
#include <utility>

mumble_host *mumble_host::current = nullptr;

namespace {
constexpr mumble_error_t host_error = 1;

// Each host function runs on the main thread, as Mumble's do.
mumble_error_t QV_CALL host_free(mumble_plugin_id_t, const void *p) {
    mumble_host *h = mumble_host::current;
    return h->on_main_thread([&] { return h->on_free(p); });
}
mumble_error_t QV_CALL host_active_connection(mumble_plugin_id_t, mumble_connection_t *out) {
    mumble_host *h = mumble_host::current;
    return h->on_main_thread([&] { return h->on_get_active_connection(out); });
}
mumble_error_t QV_CALL host_is_synchronized(mumble_plugin_id_t, mumble_connection_t c, bool *out) {
    mumble_host *h = mumble_host::current;
    return h->on_main_thread([&] { return h->on_is_synchronized(c, out); });
}
mumble_error_t QV_CALL host_local_user(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t *out) {
    mumble_host *h = mumble_host::current;
    return h->on_main_thread([&] { return h->on_get_local_user_id(c, out); });
}
mumble_error_t QV_CALL host_all_users(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t **u, size_t *n) {
    mumble_host *h = mumble_host::current;
    return h->on_main_thread([&] { return h->on_get_all_users(c, u, n); });
}
mumble_error_t QV_CALL host_user_hash(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t u, const char **h) {
    mumble_host *host = mumble_host::current;
    return host->on_main_thread([&] { return host->on_get_user_hash(c, u, h); });
}
mumble_error_t QV_CALL host_log(mumble_plugin_id_t id, const char *text) {
    mumble_host *h = mumble_host::current;
    return h->on_main_thread([&] { return h->on_log(id, text); });
}

// Slots the plugin has no business calling: each records its own index.
template <size_t N>
mumble_error_t QV_CALL unexpected_slot() {
    mumble_host::current->on_unexpected(N);
    return host_error;
}
template <size_t... I>
void fill_unexpected(mumble_api_table &t, std::index_sequence<I...>) {
    ((t.slots[I] = reinterpret_cast<api_slot_fn>(&unexpected_slot<I>)), ...);
}
}  // namespace

mumble_host::mumble_host(const std::string &library_path) {
    current = this;
    fill_unexpected(table_, std::make_index_sequence<api_slot_count>{});
    api_table_set<api_slot_free_memory>(table_, &host_free);
    api_table_set<api_slot_get_active_server_connection>(table_, &host_active_connection);
    api_table_set<api_slot_is_connection_synchronized>(table_, &host_is_synchronized);
    api_table_set<api_slot_get_local_user_id>(table_, &host_local_user);
    api_table_set<api_slot_get_all_users>(table_, &host_all_users);
    api_table_set<api_slot_get_user_hash>(table_, &host_user_hash);
    api_table_set<api_slot_log>(table_, &host_log);
    open_library(library_path);
}

void mumble_host::open_library(const std::string &path) {
    library_path_ = path;
    load_error_.clear();
    library_ = library_load(path, &load_error_);
    exports_ = mumble_exports{};
    exports_found_ = library_ ? exports_.resolve([this](const char *name) { return symbol(name); }) : 0;
}

void mumble_host::unload() {
    // Mumble shuts a started plugin down before it lets the library go.
    if (started_) shutdown();
    library_unload(library_);
    library_ = nullptr;
    exports_ = mumble_exports{};
    exports_found_ = 0;
}

bool mumble_host::reload(const std::string &library_path) {
    std::string path = library_path.empty() ? library_path_ : library_path;
    unload();
    open_library(path);
    return library_ != nullptr;
}

mumble_host::~mumble_host() {
    library_unload(library_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &[p, is_array] : handed_) {
        if (is_array)
            delete[] static_cast<const mumble_userid_t *>(p);
        else
            delete[] static_cast<const char *>(p);
    }
    if (current == this) current = nullptr;
}

void *mumble_host::symbol(const char *name) const { return library_ ? library_symbol(library_, name) : nullptr; }

void mumble_host::register_api() {
    // Mumble hands over a temporary: the plugin must copy it.
    mumble_api_table temporary = table_;
    register_table(&temporary);
    std::memset(&temporary, 0, sizeof temporary);
}

bool mumble_host::take_main_thread(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(main_mutex_);
            if (!main_busy_) {
                main_busy_ = true;
                main_owner_.store(std::this_thread::get_id());
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void mumble_host::give_main_thread_back() {
    std::lock_guard<std::mutex> lock(main_mutex_);
    main_owner_.store(std::thread::id{});
    main_busy_ = false;
}

void mumble_host::register_table(const void *table) {
    as_main_thread([&] { exports_.mumble_registerAPIFunctions(const_cast<void *>(table)); });
}

mumble_error_t mumble_host::init(uint32_t plugin_id) {
    mumble_error_t result = -1;
    as_main_thread([&] {
        // Mumble introduces itself first, every time it starts the plugin.
        exports_.mumble_setMumbleInfo({1, 5, 735}, {1, 2, 0}, {1, 0, 0});
        result = exports_.mumble_init(plugin_id);
        started_ = result == 0;
    });
    return result;
}

void mumble_host::shutdown() {
    as_main_thread([&] {
        exports_.mumble_shutdown();
        started_ = false;
    });
}

void mumble_host::connect(mumble_connection_t c) {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = c;
    synchronized_ = false;
}

void mumble_host::synchronize(mumble_connection_t c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pinned_ && (!active_ || *active_ != c)) active_ = c;
        synchronized_ = true;
    }
    event([&] { exports_.mumble_onServerSynchronized(c); });
}

void mumble_host::disconnect(mumble_connection_t c) {
    // Mumble reports the disconnect on its connection thread, directly,
    // before its main thread learns of it.
    if (started_) std::thread([&] { exports_.mumble_onServerDisconnected(c); }).join();
    std::lock_guard<std::mutex> lock(mutex_);
    synchronized_ = false;
}

void mumble_host::user_added(mumble_connection_t c, mumble_userid_t u) {
    event([&] { exports_.mumble_onUserAdded(c, u); });
}

void mumble_host::user_removed(mumble_connection_t c, mumble_userid_t u) {
    event([&] { exports_.mumble_onUserRemoved(c, u); });
}

void mumble_host::channel_entered(mumble_connection_t c, mumble_userid_t u, mumble_channelid_t previous,
                                  mumble_channelid_t next) {
    event([&] { exports_.mumble_onChannelEntered(c, u, previous, next); });
}

void mumble_host::talking_state(mumble_connection_t c, mumble_userid_t u, mumble_talking_state_t state) {
    event([&] { exports_.mumble_onUserTalkingStateChanged(c, u, state); });
}

void mumble_host::user_joins(mumble_connection_t c, mumble_userid_t u, const std::string &hash,
                             mumble_channelid_t channel) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        users_.push_back(host_user{u, std::string(), 0});
    }
    // Mumble's order for a user who connects: add, move, then the hash.
    user_added(c, u);
    channel_entered(c, u, -1, channel);
    set_user_hash(u, hash);
}

bool mumble_host::audio(float *pcm, uint32_t frames, uint16_t channels, bool speech, mumble_userid_t user) {
    return exports_.mumble_onAudioSourceFetched(pcm, frames, channels, 48000, speech, user);
}

void mumble_host::set_local_user(uint32_t id, mumble_error_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    local_user_ = id;
    local_user_result_ = result;
}

void mumble_host::set_users(std::vector<host_user> users, mumble_error_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    users_ = std::move(users);
    users_result_ = result;
}

void mumble_host::set_connection(mumble_connection_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = connection;
    pinned_ = true;
}

void mumble_host::set_user_hash(uint32_t id, const std::string &hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (host_user &u : users_)
        if (u.id == id) u.hash = hash;
}

std::vector<std::string> mumble_host::logs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
}

std::vector<uint32_t> mumble_host::log_plugin_ids() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_ids_;
}

void mumble_host::clear_logs() {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.clear();
    log_ids_.clear();
}

size_t mumble_host::outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handed_.size();
}

size_t mumble_host::handed_out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handed_total_;
}

std::vector<std::string> mumble_host::memory_errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_errors_;
}

std::vector<size_t> mumble_host::unexpected_slots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unexpected_;
}

mumble_error_t mumble_host::on_free(const void *pointer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handed_.find(pointer);
    if (it == handed_.end()) {
        memory_errors_.push_back("freeMemory of a pointer not handed out (or freed twice)");
        return host_error;
    }
    if (it->second)
        delete[] static_cast<const mumble_userid_t *>(pointer);
    else
        delete[] static_cast<const char *>(pointer);
    handed_.erase(it);
    return 0;
}

void mumble_host::set_connection_query_results(mumble_error_t active, mumble_error_t synchronized) {
    std::lock_guard<std::mutex> lock(mutex_);
    active_result_ = active;
    synchronized_result_ = synchronized;
}

mumble_error_t mumble_host::on_get_active_connection(mumble_connection_t *out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (active_result_ != 0) return active_result_;
    if (!active_) return mumble_error_no_active_connection;
    *out = *active_;
    return 0;
}

mumble_error_t mumble_host::on_is_synchronized(mumble_connection_t c, bool *out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (synchronized_result_ != 0) return synchronized_result_;
    if (!active_ || *active_ != c) return mumble_error_connection_not_found;
    *out = synchronized_;
    return 0;
}

mumble_error_t mumble_host::on_get_local_user_id(mumble_connection_t c, mumble_userid_t *out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!knows(c)) return host_error;
    if (local_user_result_ == 0) *out = local_user_;
    return local_user_result_;
}

mumble_error_t mumble_host::on_get_all_users(mumble_connection_t c, mumble_userid_t **users, size_t *count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!knows(c)) return host_error;
    if (users_result_ != 0) return users_result_;
    auto *array = new mumble_userid_t[users_.size() + 1];
    for (size_t i = 0; i < users_.size(); ++i)
        array[i] = users_[i].id;
    handed_[array] = true;
    ++handed_total_;
    *users = array;
    *count = users_.size();
    return 0;
}

mumble_error_t mumble_host::on_get_user_hash(mumble_connection_t c, mumble_userid_t user, const char **hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!knows(c)) return host_error;
    for (const host_user &u : users_) {
        if (u.id != user) continue;
        if (u.hash) {
            auto *text = new char[u.hash->size() + 1];
            std::memcpy(text, u.hash->c_str(), u.hash->size() + 1);
            handed_[text] = false;
            ++handed_total_;
            *hash = text;
        }
        return u.hash_result;
    }
    return host_error;
}

mumble_error_t mumble_host::on_log(uint32_t plugin_id, const char *text) {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.emplace_back(text);
    log_ids_.push_back(plugin_id);
    return 0;
}

void mumble_host::on_unexpected(size_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    unexpected_.push_back(slot);
}
