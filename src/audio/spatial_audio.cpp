#include "spatial_audio.h"

#include "../core/plugin_state.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace {
// A gain change is spread over this fraction of a second: short enough to
// follow a walking speaker, long enough that the step is no longer a click.
constexpr uint32_t glide_per_second = 100;

float clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool same_factors(const gain_factors &a, const gain_factors &b) {
    return a.left == b.left && a.right == b.right && a.rest == b.rest;
}

// Eight bytes with the ASCII capitals lowered, all at once: a byte is a
// capital when its low seven bits reach 'A' but not past 'Z' and its top bit
// is clear (no sum below carries into the next byte).
uint64_t fold_word(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t tops = 0x80 * ones;
    const uint64_t low = w & ~tops;
    const uint64_t from_a = low + (0x80 - 'A') * ones;
    const uint64_t past_z = low + (0x80 - 'Z' - 1) * ones;
    const uint64_t capital = from_a & ~past_z & ~w & tops;
    return w | (capital >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// Position of the speaker entry of the user at `user`, or max_speakers. The
// remembered position is tried first: the speaker update keeps each hash once,
// so an entry there that still holds the user's hash is the user's only one.
size_t find_speaker(size_t user, uint16_t remembered_slot) {
    const uint64_t digest = g_state.user_hash_digest[user];
    const char *hash = g_state.user_hash_table[user].hash;
    const size_t hint = remembered_slot - size_t{1};
    if (remembered_slot != 0 && hint < g_state.speaker_count && g_state.speaker_digest[hint] == digest &&
        hash_texts_equal(g_state.speaker_table[hint].hash, hash))
        return hint;
    for (size_t s = 0; s < g_state.speaker_count; ++s)
        if (g_state.speaker_digest[s] == digest && hash_texts_equal(g_state.speaker_table[s].hash, hash)) return s;
    return max_speakers;
}

// In one hold of the lock: the law's factors for the user now, and the
// factors applied to the user last, which the new ones replace. `remembered`
// is false when there were none for this channel count.
void look_up_and_remember(uint32_t user_id, uint16_t channels, gain_factors *now, gain_factors *before,
                          bool *remembered) {
    *remembered = false;
    *now = law_factors(0.0f, 0.0f);
    state_lock_enter();
    const size_t user = user_position(user_id);
    if (user < max_user_hashes) {
        applied_factors &memory = g_state.user_applied[user];
        const size_t speaker = find_speaker(user, memory.speaker_slot);
        if (speaker < max_speakers)
            *now = law_factors(g_state.speaker_table[speaker].gain, g_state.speaker_table[speaker].pan);
        *remembered = memory.channels == channels;
        *before = {memory.left, memory.right, memory.rest};
        memory = {now->left, now->right, now->rest, channels,
                  static_cast<uint16_t>(speaker < max_speakers ? speaker + 1 : 0)};
    }
    state_lock_leave();
}
}  // namespace

bool hash_texts_equal(const char *a, const char *b) {
    static_assert(std::endian::native == std::endian::little, "the text's first byte is the word's lowest");
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t tops = 0x80 * ones;
    for (size_t at = 0; at < hash_size; at += sizeof(uint64_t)) {
        uint64_t wa, wb;
        std::memcpy(&wa, a + at, sizeof wa);
        std::memcpy(&wb, b + at, sizeof wb);
        const uint64_t differ = fold_word(wa) ^ fold_word(wb);
        // The lowest marked byte is the first NUL of a; bytes after it may
        // be anything and are not compared.
        const uint64_t nul = (wa - ones) & ~wa & tops;
        if (nul != 0) return (differ & (nul ^ (nul - 1))) == 0;
        if (differ != 0) return false;
    }
    return false;  // no terminator: not a text of the table
}

gain_factors law_factors(float gain, float pan) {
    gain = clamp(gain, 0.0f, 1.0f);
    pan = clamp(pan, -1.0f, 1.0f);
    return {std::sqrt((1.0f - pan) * 0.5f) * gain, std::sqrt((1.0f + pan) * 0.5f) * gain, gain};
}

void apply_gain_pan(float *pcm, uint32_t frames, uint16_t channels, float gain, float pan) {
    apply_factors(pcm, frames, channels, law_factors(gain, pan));
}

void apply_factors(float *pcm, uint32_t frames, uint16_t channels, const gain_factors &factors) {
    if (channels == 1) {
        for (uint32_t i = 0; i < frames; ++i)
            pcm[i] *= factors.rest;
        return;
    }
    const float left = factors.left;
    const float right = factors.right;
    if (channels == 2) {
        // Two frames a step: four products the compiler can do as one.
        const size_t samples = static_cast<size_t>(frames) * 2;
        size_t i = 0;
        for (; i + 4 <= samples; i += 4) {
            pcm[i] *= left;
            pcm[i + 1] *= right;
            pcm[i + 2] *= left;
            pcm[i + 3] *= right;
        }
        if (i < samples) {
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
            frame[c] *= factors.rest;
    }
}

uint32_t glide_frames(uint32_t frames, uint32_t sample_rate) {
    const uint32_t ramp = sample_rate / glide_per_second;
    return frames < ramp ? frames : ramp;
}

void apply_glide(float *pcm, uint32_t frames, uint16_t channels, const gain_factors &from, const gain_factors &to,
                 uint32_t ramp_frames) {
    if (ramp_frames > frames) ramp_frames = frames;
    // The last frame of the ramp is `to` itself: it goes with the steady rest.
    const uint32_t ramped = ramp_frames > 0 ? ramp_frames - 1 : 0;
    const gain_factors step = {to.left - from.left, to.right - from.right, to.rest - from.rest};
    const float length = static_cast<float>(ramp_frames);
    for (uint32_t f = 0; f < ramped; ++f) {
        const float k = static_cast<float>(f + 1) / length;
        float *frame = pcm + static_cast<size_t>(f) * channels;
        const float rest = from.rest + step.rest * k;
        if (channels == 1) {
            frame[0] *= rest;
            continue;
        }
        frame[0] *= from.left + step.left * k;
        frame[1] *= from.right + step.right * k;
        for (uint16_t c = 2; c < channels; ++c)
            frame[c] *= rest;
    }
    apply_factors(pcm + static_cast<size_t>(ramped) * channels, frames - ramped, channels, to);
}

bool process_audio_source(float *pcm, uint32_t frames, uint16_t channels, uint32_t sample_rate, bool is_speech,
                          uint32_t user_id) {
    // Outside a session (during shutdown, the call Mumble may make just after
    // it, a plugin disabled) every voice plays as it came.
    if (!g_state.session_active.load(std::memory_order_acquire)) return false;
    if (!pcm || !is_speech || channels == 0 || g_state.enabled == 0) return false;
    // Nothing is applied, so nothing is remembered either.
    if (frames == 0) return true;
    gain_factors now{}, before{};
    bool remembered = false;
    look_up_and_remember(user_id, channels, &now, &before, &remembered);
    if (g_state.smooth_transitions != 0 && remembered && !same_factors(before, now))
        apply_glide(pcm, frames, channels, before, now, glide_frames(frames, sample_rate));
    else
        apply_factors(pcm, frames, channels, now);
    return true;
}
