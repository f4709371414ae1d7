// Per-source gain and pan on Mumble's audio thread.
#pragma once

#include <cstdint>

// The export's behaviour: scales and pans one remote source in place by its
// speaker entry, silencing sources that are not listed. False when the
// buffer was left alone.
bool process_audio_source(float *pcm, uint32_t frames, uint16_t channels, uint32_t sample_rate, bool is_speech,
                          uint32_t user_id);

// The constant-power law on an interleaved buffer: channel 0 by
// gain*sqrt((1-pan)/2), channel 1 by gain*sqrt((1+pan)/2), the others by
// gain; mono by gain. Gain is clamped to [0, 1] and pan to [-1, 1].
void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain, float pan);

// Gain and pan of a user's speaker entry, found under the lock; false (and
// 0, 0) when the user or the user's hash is not listed.
bool find_speaker_for_user(uint32_t user_id, float *gain, float *pan);
