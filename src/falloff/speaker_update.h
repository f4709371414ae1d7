// UPDATE and UPDATE2 lines from the falloff server: each one replaces the
// whole speaker table.
#pragma once

#include "../core/plugin_state.h"

#include <cstddef>
#include <cstdint>

// Longest line the falloff link delivers, without its line end.
constexpr size_t speaker_line_max = 8190;
constexpr size_t speaker_work_size = 8192;

// What became of one comma-separated piece of a speaker line.
enum class speaker_piece_result : uint8_t {
    added,            // a new speaker in the table
    updated,          // a hash already in the table (in any letter case): its gain and pan replaced
    table_full,       // a new hash after max_speakers of them: left out
    blank,            // nothing but white space
    hash_alone,       // no gain after the hash
    gain_not_number,  // the gain field is no number
    hash_too_long,    // the hash does not fit the table's hash_size
};

// One piece as the reader saw it. The texts point into the reader's work
// buffer and are valid only while the observer runs.
struct speaker_piece {
    speaker_piece_result result;
    const char *hash;       // null for a blank piece
    const char *gain_text;  // what follows the blank after the hash; null when there is none
    const char *pan_text;   // UPDATE2: what follows the gain's word; null when nothing does
    float gain_read;        // the numbers as read, before the clamp
    float pan_read;
    bool pan_is_number;  // a pan was read from pan_text
    float gain;          // as stored: clamped to [0, 1] and [-1, 1]
    float pan;
};

// Told of every piece, in line order, after it was applied.
using speaker_piece_fn = void (*)(void *context, const speaker_piece &piece);

// The whole rule of a speaker line, pure: empties the table (*count = 0)
// and fills it from the pieces of `line` (which begins with "UPDATE"),
// cutting them out of a copy in `work` (speaker_work_size bytes). `table`
// and `digests` hold max_speakers entries. `observe` may be null. True when
// the line is an UPDATE2 (it carries pans).
bool read_speaker_line(const char *line, char *work, speaker_entry *table, uint64_t *digests, size_t *count,
                       speaker_piece_fn observe, void *context);

// `line` begins with "UPDATE"; rewrites the speaker table in one hold of the
// lock, then logs how many speakers it holds.
void apply_speaker_update(const char *line);
