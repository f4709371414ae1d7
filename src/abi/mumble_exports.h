// Every function the plugin exports, with the exact type Mumble 1.5 declares
// and calls it with. The library's definitions are checked against these
// declarations by the compiler (an extern "C" function cannot be overloaded,
// so a definition with other parameters or another result does not build),
// and the simulated host, the demo and the tests call the exports only
// through the pointer types derived from this one list.
#pragma once

#include "mumble_abi.h"

// X(result, name, parameters): one row per export, in Mumble's terms.
//  - mumble_getUpdateDownloadURL takes nothing and returns a string result;
//    the updater calls it right after mumble_hasUpdate says yes.
//  - mumble_getPluginFunctionsVersion carries no calling convention in the
//    host's declaration; on x86-64 there is only one, so it is written alike.
#define QV_MUMBLE_EXPORTS(X)                                                                                   \
    X(mumble_version_t, mumble_getAPIVersion, ())                                                              \
    X(mumble_version_t, mumble_getPluginFunctionsVersion, ())                                                  \
    X(mumble_version_t, mumble_getVersion, ())                                                                 \
    X(MumbleStringWrapper, mumble_getName, ())                                                                 \
    X(MumbleStringWrapper, mumble_getAuthor, ())                                                               \
    X(MumbleStringWrapper, mumble_getDescription, ())                                                          \
    X(uint32_t, mumble_getFeatures, ())                                                                        \
    X(uint32_t, mumble_deactivateFeatures, (uint32_t features))                                                \
    X(void, mumble_setMumbleInfo,                                                                              \
      (mumble_version_t mumble_version, mumble_version_t api_version, mumble_version_t minimum_api_version))   \
    X(void, mumble_releaseResource, (const void *pointer))                                                     \
    X(void, mumble_registerAPIFunctions, (void *api_struct))                                                   \
    X(mumble_error_t, mumble_init, (mumble_plugin_id_t id))                                                    \
    X(void, mumble_shutdown, ())                                                                               \
    X(void, mumble_onServerSynchronized, (mumble_connection_t connection))                                     \
    X(void, mumble_onServerDisconnected, (mumble_connection_t connection))                                     \
    X(void, mumble_onUserAdded, (mumble_connection_t connection, mumble_userid_t user_id))                     \
    X(void, mumble_onUserRemoved, (mumble_connection_t connection, mumble_userid_t user_id))                   \
    X(void, mumble_onChannelEntered,                                                                           \
      (mumble_connection_t connection, mumble_userid_t user_id, mumble_channelid_t previous_channel,           \
       mumble_channelid_t new_channel))                                                                        \
    X(void, mumble_onUserTalkingStateChanged,                                                                  \
      (mumble_connection_t connection, mumble_userid_t user_id, mumble_talking_state_t talking_state))         \
    X(bool, mumble_onAudioInput,                                                                               \
      (short *input_pcm, uint32_t sample_count, uint16_t channel_count, uint32_t sample_rate, bool is_speech)) \
    X(bool, mumble_onAudioSourceFetched,                                                                       \
      (float *output_pcm, uint32_t sample_count, uint16_t channel_count, uint32_t sample_rate, bool is_speech, \
       mumble_userid_t user_id))                                                                               \
    X(bool, mumble_onAudioOutputAboutToPlay,                                                                   \
      (float *output_pcm, uint32_t sample_count, uint16_t channel_count, uint32_t sample_rate))                \
    X(bool, mumble_hasUpdate, ())                                                                              \
    X(MumbleStringWrapper, mumble_getUpdateDownloadURL, ())

#define QV_DECLARE_EXPORT(result, name, parameters) QV_EXPORT result QV_CALL name parameters;
QV_MUMBLE_EXPORTS(QV_DECLARE_EXPORT)
#undef QV_DECLARE_EXPORT

// Every export looked up by name, each with its own type; a host fills one of
// these from the loaded library (a missing export stays null).
struct mumble_exports {
#define QV_EXPORT_POINTER(result, name, parameters) decltype(&::name) name = nullptr;
    QV_MUMBLE_EXPORTS(QV_EXPORT_POINTER)
#undef QV_EXPORT_POINTER

    // Looks every export up through `lookup(name)`, which returns the address
    // or null; returns the number found.
    template <typename Lookup>
    size_t resolve(Lookup lookup) {
        size_t found = 0;
#define QV_RESOLVE_EXPORT(result, name, parameters)            \
    name = reinterpret_cast<decltype(&::name)>(lookup(#name)); \
    found += name != nullptr;
        QV_MUMBLE_EXPORTS(QV_RESOLVE_EXPORT)
#undef QV_RESOLVE_EXPORT
        return found;
    }
};

#define QV_COUNT_EXPORT(result, name, parameters) +1
constexpr size_t mumble_export_count = 0 QV_MUMBLE_EXPORTS(QV_COUNT_EXPORT);
#undef QV_COUNT_EXPORT
