// Every export Mumble calls. Each one is thin: it forwards to the subsystem
// that owns the behaviour. The plugin is built without exceptions, so none
// can cross this boundary. mumble_exports.h declares each with the host's own
// type, so a definition here that strays from it does not compile.
#include "../abi/mumble_exports.h"
#include "../audio/spatial_audio.h"
#include "../update/update_check.h"
#include "build_info.h"
#include "lifecycle.h"
#include "server_events.h"

namespace {
constexpr char plugin_name[] = "Quorvane Voice";
constexpr char plugin_author[] = "Quorvane";
constexpr char plugin_description[] =
    "Quorvane Voice " QV_VERSION_TEXT " - positional proximity voice for Quorvane (Saurwald).";

template <size_t N>
MumbleStringWrapper static_text(const char (&text)[N]) {
    return {text, N - 1, false};
}
}  // namespace

QV_EXPORT mumble_version_t QV_CALL mumble_getAPIVersion() { return {1, 2, 0}; }
QV_EXPORT mumble_version_t QV_CALL mumble_getPluginFunctionsVersion() { return {1, 1, 0}; }
QV_EXPORT mumble_version_t QV_CALL mumble_getVersion() {
    return {QV_VERSION_MAJOR, QV_VERSION_MINOR, QV_VERSION_PATCH};
}
QV_EXPORT MumbleStringWrapper QV_CALL mumble_getName() { return static_text(plugin_name); }
QV_EXPORT MumbleStringWrapper QV_CALL mumble_getAuthor() { return static_text(plugin_author); }
QV_EXPORT MumbleStringWrapper QV_CALL mumble_getDescription() { return static_text(plugin_description); }
QV_EXPORT uint32_t QV_CALL mumble_getFeatures() { return mumble_feature_audio; }
QV_EXPORT uint32_t QV_CALL mumble_deactivateFeatures(uint32_t) { return 0; }

QV_EXPORT void QV_CALL mumble_setMumbleInfo(mumble_version_t, mumble_version_t, mumble_version_t) {}
QV_EXPORT void QV_CALL mumble_releaseResource(const void *) {}

QV_EXPORT void QV_CALL mumble_registerAPIFunctions(void *api_struct) { register_api_functions(api_struct); }
QV_EXPORT mumble_error_t QV_CALL mumble_init(mumble_plugin_id_t id) { return plugin_init(id); }
QV_EXPORT void QV_CALL mumble_shutdown() { plugin_shutdown(); }

QV_EXPORT void QV_CALL mumble_onServerSynchronized(mumble_connection_t connection) {
    on_server_synchronized(connection);
}
QV_EXPORT void QV_CALL mumble_onServerDisconnected(mumble_connection_t) { on_server_disconnected(); }
QV_EXPORT void QV_CALL mumble_onUserTalkingStateChanged(mumble_connection_t connection, mumble_userid_t user_id,
                                                        mumble_talking_state_t talking_state) {
    on_user_talking_state(connection, user_id, talking_state);
}
QV_EXPORT void QV_CALL mumble_onUserAdded(mumble_connection_t, mumble_userid_t) { refresh_user_hashes(); }
QV_EXPORT void QV_CALL mumble_onUserRemoved(mumble_connection_t, mumble_userid_t) { refresh_user_hashes(); }
QV_EXPORT void QV_CALL mumble_onChannelEntered(mumble_connection_t, mumble_userid_t, mumble_channelid_t,
                                               mumble_channelid_t) {
    refresh_user_hashes();
}

QV_EXPORT bool QV_CALL mumble_onAudioInput(short *, uint32_t, uint16_t, uint32_t, bool) { return false; }
QV_EXPORT bool QV_CALL mumble_onAudioSourceFetched(float *output_pcm, uint32_t sample_count, uint16_t channel_count,
                                                   uint32_t sample_rate, bool is_speech, mumble_userid_t user_id) {
    return process_audio_source(output_pcm, sample_count, channel_count, sample_rate, is_speech, user_id);
}
QV_EXPORT bool QV_CALL mumble_onAudioOutputAboutToPlay(float *, uint32_t, uint16_t, uint32_t) { return false; }

QV_EXPORT bool QV_CALL mumble_hasUpdate() { return update_available(); }
QV_EXPORT MumbleStringWrapper QV_CALL mumble_getUpdateDownloadURL() {
    return {update_download_address(), update_download_address_length(), false};
}
