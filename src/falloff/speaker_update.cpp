#include "speaker_update.h"

#include "../core/configuration.h"
#include "../core/logging.h"
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

// One comma-separated piece, already cut out of the work buffer: its hash,
// gain and pan. No allocation, no I/O (the plugin runs it under the lock).
speaker_piece_result parse_piece(char *piece, bool with_pan, speaker_piece *out) {
    char *hash = skip_space(piece);
    if (*hash == '\0') return speaker_piece_result::blank;
    out->hash = hash;
    char *end = hash + std::strlen(hash);
    while (end > hash && is_space(end[-1]))
        *--end = '\0';

    char *gap = hash;
    while (*gap && !is_space(*gap))
        ++gap;
    if (*gap == '\0') return speaker_piece_result::hash_alone;
    *gap = '\0';
    char *gain_text = gap + 1;
    out->gain_text = gain_text;

    if (!parse_float(gain_text, &out->gain_read)) return speaker_piece_result::gain_not_number;
    if (static_cast<size_t>(gap - hash) > max_hash_length) return speaker_piece_result::hash_too_long;

    out->pan_read = 0.0f;
    if (with_pan) {
        char *p = skip_space(gain_text);
        while (*p && !is_space(*p))
            ++p;  // the word that holds the gain
        if (*p != '\0') {
            out->pan_text = p;
            out->pan_is_number = parse_float(p, &out->pan_read);
            if (!out->pan_is_number) out->pan_read = 0.0f;
        }
    }
    out->gain = clamp(out->gain_read, 0.0f, 1.0f);
    out->pan = clamp(out->pan_read, -1.0f, 1.0f);
    return speaker_piece_result::added;
}

// A parsed piece into the table: hashes match without regard to letter case,
// and the first spelling stays.
speaker_piece_result store_piece(const speaker_piece &p, speaker_entry *table, uint64_t *digests, size_t *count) {
    const uint64_t digest = case_fold_digest(p.hash);
    for (size_t i = 0; i < *count; ++i) {
        speaker_entry &e = table[i];
        if (digests[i] == digest && equals_ignore_case(e.hash, p.hash)) {
            e.gain = p.gain;
            e.pan = p.pan;
            return speaker_piece_result::updated;
        }
    }
    if (*count >= max_speakers) return speaker_piece_result::table_full;
    digests[*count] = digest;
    speaker_entry &e = table[(*count)++];
    std::snprintf(e.hash, sizeof e.hash, "%s", p.hash);
    e.gain = p.gain;
    e.pan = p.pan;
    return speaker_piece_result::added;
}
}  // namespace

bool read_speaker_line(const char *line, char *work, speaker_entry *table, uint64_t *digests, size_t *count,
                       speaker_piece_fn observe, void *context) {
    const bool with_pan = std::strncmp(line, "UPDATE2", 7) == 0;
    const char *payload = line + (with_pan ? 7 : 6);
    while (*payload && is_space(*payload))
        ++payload;

    *count = 0;
    if (*payload == '\0') return with_pan;
    std::snprintf(work, speaker_work_size, "%s", payload);
    // Split at commas; empty pieces (leading, trailing, repeated commas)
    // are passed over.
    char *p = work;
    while (*p) {
        char *comma = std::strchr(p, ',');
        if (comma) *comma = '\0';
        if (*p) {
            speaker_piece piece{};
            piece.result = parse_piece(p, with_pan, &piece);
            if (piece.result == speaker_piece_result::added) piece.result = store_piece(piece, table, digests, count);
            if (observe) observe(context, piece);
        }
        if (!comma) break;
        p = comma + 1;
    }
    return with_pan;
}

void apply_speaker_update(const char *line) {
    // Static: only the falloff worker applies updates, and 8 KiB is too much
    // for a worker's stack to spend on each line.
    static char work[speaker_work_size];

    if (!worker_state_enter()) return;
    const bool with_pan = read_speaker_line(line, work, g_state.speaker_table, g_state.speaker_digest,
                                            &g_state.speaker_count, nullptr, nullptr);
    size_t count = g_state.speaker_count;
    state_lock_leave();

    log_debug("received %s with %zu speakers", with_pan ? "UPDATE2" : "UPDATE", count);
}
