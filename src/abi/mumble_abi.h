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

// Host results the plugin or the simulated host name: success, a connection
// that has not finished synchronizing, and a call from another thread that
// the host's main thread did not run within its wait.
constexpr mumble_error_t mumble_status_ok = 0;
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

// Slots of the host table that the plugin calls; the rest are carried along
// untouched so the copy keeps the host's layout.
constexpr size_t api_slot_count = 38;
constexpr size_t api_slot_free_memory = 0;
constexpr size_t api_slot_get_local_user_id = 3;
constexpr size_t api_slot_get_all_users = 6;
constexpr size_t api_slot_get_user_hash = 14;
constexpr size_t api_slot_log = 36;

using api_free_memory_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, const void *);
using api_get_local_user_id_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t *);
using api_get_all_users_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t **,
                                                       size_t *);
using api_get_user_hash_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t,
                                                       const char **);
using api_log_fn = mumble_error_t(QV_CALL *)(mumble_plugin_id_t, const char *);

using api_slot_fn = void (*)();

// The host hands over a temporary struct of 38 function pointers; the plugin
// copies it whole (304 bytes on a 64-bit target).
struct mumble_api_table {
    api_slot_fn slots[api_slot_count];
};
static_assert(sizeof(mumble_api_table) == api_slot_count * sizeof(void *));

constexpr uint32_t mumble_feature_audio = 2;
