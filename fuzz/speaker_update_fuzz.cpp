// apply_speaker_update on arbitrary lines: whatever the server sends, the
// table stays within its bounds and rules, and the audio's digests match it.
#include "core/plugin_state.h"
#include "core/text.h"
#include "falloff/speaker_update.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

// An open-addressing set of table indices keyed by digest, twice the table's
// size so probes stay short: the duplicate check is linear, not quadratic.
constexpr size_t seen_slots = 2 * max_speakers;
constexpr uint16_t empty_slot = UINT16_MAX;
static_assert((seen_slots & (seen_slots - 1)) == 0 && seen_slots < empty_slot);

void check_table() {
    check(g_state.speaker_count <= max_speakers);
    uint16_t seen[seen_slots];
    std::memset(seen, 0xff, sizeof seen);
    for (size_t i = 0; i < g_state.speaker_count; ++i) {
        const speaker_entry &e = g_state.speaker_table[i];
        size_t length = strnlen(e.hash, sizeof e.hash);
        check(length > 0 && length < sizeof e.hash);
        for (size_t k = 0; k < length; ++k)
            check(!is_space(e.hash[k]) && e.hash[k] != ',');
        check(!std::isnan(e.gain) && e.gain >= 0.0f && e.gain <= 1.0f);
        check(!std::isnan(e.pan) && e.pan >= -1.0f && e.pan <= 1.0f);
        const uint64_t digest = g_state.speaker_digest[i];
        check(digest == case_fold_digest(e.hash));
        // No hash twice: only entries with the same digest can hold it.
        size_t slot = digest & (seen_slots - 1);
        for (; seen[slot] != empty_slot; slot = (slot + 1) & (seen_slots - 1)) {
            size_t j = seen[slot];
            check(g_state.speaker_digest[j] != digest || !equals_ignore_case(g_state.speaker_table[j].hash, e.hash));
        }
        seen[slot] = static_cast<uint16_t>(i);
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = false;
    if (!ready) {
        state_lock_setup();
        g_state.debug_log = 0;
        ready = true;
    }
    // The line as the link delivers it: at most 8190 characters, no line
    // end, cut at its first NUL. The worker hands over every line that
    // starts with UPDATE, so the input is what follows those six letters
    // (an input that starts with 2 makes an UPDATE2 line).
    std::string line = "UPDATE";
    line.append(reinterpret_cast<const char *>(data), size < speaker_line_max ? size : speaker_line_max);
    line.resize(std::min(std::strcspn(line.c_str(), "\r\n"), speaker_line_max));
    apply_speaker_update(line.c_str());
    check_table();
    return 0;
}
