#include "spatial_audio.h"

#include "../core/plugin_state.h"
#include "../core/text.h"

#include <cmath>

namespace {
float clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
}  // namespace

bool find_speaker_for_user(uint32_t user_id, float *gain, float *pan) {
    bool found = false;
    float g = 0.0f, p = 0.0f;
    state_lock_enter();
    for (size_t u = 0; u < g_state.user_hash_count; ++u) {
        const user_hash_entry &user = g_state.user_hash_table[u];
        if (user.user_id != user_id) continue;
        const uint64_t digest = g_state.user_hash_digest[u];
        for (size_t s = 0; s < g_state.speaker_count; ++s) {
            if (g_state.speaker_digest[s] != digest) continue;
            const speaker_entry &speaker = g_state.speaker_table[s];
            if (equals_ignore_case(speaker.hash, user.hash)) {
                g = speaker.gain;
                p = speaker.pan;
                found = true;
                break;
            }
        }
        break;  // only the first entry of a user id counts
    }
    state_lock_leave();
    *gain = g;
    *pan = p;
    return found;
}

void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain, float pan) {
    gain = clamp(gain, 0.0f, 1.0f);
    if (channels == 1) {
        for (uint32_t i = 0; i < frames; ++i)
            pcm[i] *= gain;
        return;
    }
    pan = clamp(pan, -1.0f, 1.0f);
    const float left = std::sqrt((1.0f - pan) * 0.5f) * gain;
    const float right = std::sqrt((1.0f + pan) * 0.5f) * gain;
    if (channels == 2) {
        const size_t samples = static_cast<size_t>(frames) * 2;
        for (size_t i = 0; i < samples; i += 2) {
            pcm[i] *= left;
            pcm[i + 1] *= right;
        }
        return;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        float *frame = pcm + static_cast<size_t>(f) * channels;
        frame[0] *= left;
        frame[1] *= right;
        for (uint16_t c = 2; c < channels; ++c)
            frame[c] *= gain;
    }
}

bool process_audio_source(float *pcm, uint32_t frames, uint16_t channels, uint32_t, bool is_speech, uint32_t user_id) {
    if (!pcm || !is_speech || channels == 0 || g_state.enabled == 0) return false;
    // Mumble only calls between init and shutdown (and once after it); the
    // lock exists from the first init on.
    if (!state_lock_available()) return false;
    float gain = 0.0f, pan = 0.0f;
    find_speaker_for_user(user_id, &gain, &pan);
    apply_gain_pan(pcm, frames, channels, gain, pan);
    return true;
}
