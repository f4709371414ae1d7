#include "speaker_update.h"

#include "../core/configuration.h"
#include "../core/logging.h"
#include "../core/plugin_state.h"
#include "../core/text.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr size_t max_hash_length = hash_size - 1;

float clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

char *skip_space(char *p) {
    while (*p && is_space(*p))
        ++p;
    return p;
}

// One comma-separated piece, already cut out of the work buffer. Runs under
// the lock: no allocation, no I/O.
void apply_piece(char *piece, bool with_pan) {
    char *hash = skip_space(piece);
    if (*hash == '\0') return;
    char *end = hash + std::strlen(hash);
    while (end > hash && is_space(end[-1]))
        *--end = '\0';

    char *gap = hash;
    while (*gap && !is_space(*gap))
        ++gap;
    if (*gap == '\0') return;  // a hash alone
    *gap = '\0';
    char *gain_text = gap + 1;

    float gain = 0.0f;
    if (!parse_float(gain_text, &gain)) return;
    if (static_cast<size_t>(gap - hash) > max_hash_length) return;

    float pan = 0.0f;
    if (with_pan) {
        char *p = skip_space(gain_text);
        while (*p && !is_space(*p))
            ++p;  // the word that holds the gain
        if (*p == '\0' || !parse_float(p, &pan)) pan = 0.0f;
    }
    gain = clamp(gain, 0.0f, 1.0f);
    pan = clamp(pan, -1.0f, 1.0f);

    const uint64_t digest = case_fold_digest(hash);
    for (size_t i = 0; i < g_state.speaker_count; ++i) {
        speaker_entry &e = g_state.speaker_table[i];
        if (g_state.speaker_digest[i] == digest && equals_ignore_case(e.hash, hash)) {
            e.gain = gain;
            e.pan = pan;
            return;
        }
    }
    if (g_state.speaker_count >= max_speakers) return;
    g_state.speaker_digest[g_state.speaker_count] = digest;
    speaker_entry &e = g_state.speaker_table[g_state.speaker_count++];
    std::snprintf(e.hash, sizeof e.hash, "%s", hash);
    e.gain = gain;
    e.pan = pan;
}
}  // namespace

void apply_speaker_update(const char *line) {
    const bool with_pan = std::strncmp(line, "UPDATE2", 7) == 0;
    const char *payload = line + (with_pan ? 7 : 6);
    while (*payload && is_space(*payload))
        ++payload;

    // Static: only the falloff worker applies updates, and 8 KiB is too much
    // for a worker's stack to spend on each line.
    static char work[speaker_work_size];

    if (!worker_state_enter()) return;
    g_state.speaker_count = 0;
    if (*payload) {
        std::snprintf(work, sizeof work, "%s", payload);
        // Split at commas; empty pieces (leading, trailing, repeated commas)
        // are passed over.
        char *p = work;
        while (*p) {
            char *comma = std::strchr(p, ',');
            if (comma) *comma = '\0';
            if (*p) apply_piece(p, with_pan);
            if (!comma) break;
            p = comma + 1;
        }
    }
    size_t count = g_state.speaker_count;
    state_lock_leave();

    log_debug("received %s with %zu speakers", with_pan ? "UPDATE2" : "UPDATE", count);
}
