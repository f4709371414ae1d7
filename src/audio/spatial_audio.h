// Per-source gain and pan on Mumble's audio thread.
#pragma once

#include <cstdint>

// The export's behaviour: scales and pans one remote source in place by its
// speaker entry, silencing sources that are not listed. A change from the
// factors last applied to the same user glides over the first 10 ms of the
// buffer unless smooth_transitions is off. False when the buffer was left
// alone.
bool process_audio_source(float *pcm, uint32_t frames, uint16_t channels, uint32_t sample_rate, bool is_speech,
                          uint32_t user_id);

// What the constant-power law multiplies each channel by.
struct gain_factors {
    float left;   // channel 0 of two or more: gain*sqrt((1-pan)/2)
    float right;  // channel 1: gain*sqrt((1+pan)/2)
    float rest;   // mono and channels 2 and up: gain
};

// equals_ignore_case for two texts in buffers of hash_size bytes (the
// user and speaker tables' hashes), eight bytes at a time. Bytes after a's
// terminator are read but do not count.
bool hash_texts_equal(const char *a, const char *b);

// The law's factors; gain is clamped to [0, 1] and pan to [-1, 1].
gain_factors law_factors(float gain, float pan);

// The constant-power law on an interleaved buffer: channel 0 by
// gain*sqrt((1-pan)/2), channel 1 by gain*sqrt((1+pan)/2), the others by
// gain; mono by gain. Gain is clamped to [0, 1] and pan to [-1, 1].
void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain, float pan);

// Every frame by the same factors.
void apply_factors(float *pcm, uint32_t frames, uint16_t channels, const gain_factors &factors);

// Frames needed to glide: a 10 ms ramp, cut to the buffer.
uint32_t glide_frames(uint32_t frames, uint32_t sample_rate);

// Frame i < ramp_frames by from + (to - from) * (i + 1) / ramp_frames, every
// later frame by `to`: the buffer always ends on `to` exactly.
void apply_glide(float *pcm, uint32_t frames, uint16_t channels, const gain_factors &from, const gain_factors &to,
                 uint32_t ramp_frames);
