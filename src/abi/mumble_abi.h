// The Mumble plugin interface as this plugin sees it: the value types that
// cross the boundary, the host's 38-slot function table and the export macro.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define QV_EXPORT extern "C" __declspec(dllexport)
#define QV_CALL __cdecl
#else
#define QV_EXPORT extern "C" __attribute__((visibility("default")))
#define QV_CALL
#endif

using mumble_error_t = int32_t;
using mumble_plugin_id_t = uint32_t;
using mumble_connection_t = int32_t;
using mumble_userid_t = uint32_t;
using mumble_channelid_t = int32_t;
// The host's talking-state enumeration: an int-sized C enum, -1 to 4.
using mumble_talking_state_t = int32_t;
constexpr mumble_talking_state_t mumble_talking_invalid = -1;
constexpr mumble_talking_state_t mumble_talking_passive = 0;
constexpr mumble_talking_state_t mumble_talking = 1;
constexpr mumble_talking_state_t mumble_talking_whispering = 2;
constexpr mumble_talking_state_t mumble_talking_shouting = 3;
constexpr mumble_talking_state_t mumble_talking_muted = 4;

// Host results the plugin or the simulated host name: success, no server
// connection at all, a connection id the host does not know, a connection
// that has not finished synchronizing, and a call from another thread that
// the host's main thread did not run within its wait.
constexpr mumble_error_t mumble_status_ok = 0;
constexpr mumble_error_t mumble_error_no_active_connection = 2;
constexpr mumble_error_t mumble_error_connection_not_found = 5;
constexpr mumble_error_t mumble_error_connection_unsynchronized = 11;
constexpr mumble_error_t mumble_error_api_request_timeout = 19;

struct mumble_version_t {
    int32_t major;
    int32_t minor;
    int32_t patch;
};

struct MumbleStringWrapper {
    const char *data;
    size_t size;
    bool needsReleasing;
};

// Slots of the host table that the plugin calls, each with its index in the
// host's published order and the exact type the host gives it; the rest are
// carried along untouched so the copy keeps the host's layout.
//   0  freeMemory(plugin, pointer): takes back anything the host handed out
//   1  getActiveServerConnection(plugin, &connection): the one connection
//   2  isConnectionSynchronized(plugin, connection, &synchronized)
//   3  getLocalUserID(plugin, connection, &user)
//   6  getAllUsers(plugin, connection, &users, &count): host-owned array
//  14  getUserHash(plugin, connection, user, &hash): host-owned text
//  36  log(plugin, text): a line in Mumble's log
constexpr size_t api_slot_count = 38;
constexpr size_t api_slot_free_memory = 0;
constexpr size_t api_slot_get_active_server_connection = 1;
constexpr size_t api_slot_is_connection_synchronized = 2;
constexpr size_t api_slot_get_local_user_id = 3;
constexpr size_t api_slot_get_all_users = 6;
constexpr size_t api_slot_get_user_hash = 14;
constexpr size_t api_slot_log = 36;

using api_free_memory_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, const void *);
using api_get_active_server_connection_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t *);
using api_is_connection_synchronized_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, bool *);
using api_get_local_user_id_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t *);
using api_get_all_users_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t **,
                                                       size_t *);
using api_get_user_hash_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t,
                                                       const char **);
using api_log_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, const char *);

// The type of each slot by its index, so that a caller names only the index
// and cannot pair it with another slot's type.
template <size_t Slot>
struct api_slot_type;
#define QV_API_SLOT_TYPE(slot, fn) \
    template <>                    \
    struct api_slot_type<slot> {   \
        using type = fn;           \
    };
QV_API_SLOT_TYPE(api_slot_free_memory, api_free_memory_fn)
QV_API_SLOT_TYPE(api_slot_get_active_server_connection, api_get_active_server_connection_fn)
QV_API_SLOT_TYPE(api_slot_is_connection_synchronized, api_is_connection_synchronized_fn)
QV_API_SLOT_TYPE(api_slot_get_local_user_id, api_get_local_user_id_fn)
QV_API_SLOT_TYPE(api_slot_get_all_users, api_get_all_users_fn)
QV_API_SLOT_TYPE(api_slot_get_user_hash, api_get_user_hash_fn)
QV_API_SLOT_TYPE(api_slot_log, api_log_fn)
#undef QV_API_SLOT_TYPE

using api_slot_fn = void (*)();

// The host hands over a temporary struct of 38 function pointers; the plugin
// copies it whole (304 bytes on a 64-bit target).
struct mumble_api_table {
    api_slot_fn slots[api_slot_count];
};
static_assert(sizeof(mumble_api_table) == api_slot_count * sizeof(void *));

// Puts a function of the slot's own type into a table (hosts and tests).
template <size_t Slot>
void api_table_set(mumble_api_table &table, typename api_slot_type<Slot>::type fn) {
    table.slots[Slot] = reinterpret_cast<api_slot_fn>(fn);
}

constexpr uint32_t mumble_feature_audio = 2;
