// apply_speaker_update on arbitrary lines: whatever the server sends, the
// table stays within its bounds and rules, and the audio's digests match it.
#include "core/plugin_state.h"
#include "core/text.h"
#include "falloff/speaker_update.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

void check_table() {
    check(g_state.speaker_count <= max_speakers);
    for (size_t i = 0; i < g_state.speaker_count; ++i) {
        const speaker_entry &e = g_state.speaker_table[i];
        size_t length = strnlen(e.hash, sizeof e.hash);
        check(length > 0 && length < sizeof e.hash);
        for (size_t k = 0; k < length; ++k)
            check(!is_space(e.hash[k]) && e.hash[k] != ',');
        check(!std::isnan(e.gain) && e.gain >= 0.0f && e.gain <= 1.0f);
        check(!std::isnan(e.pan) && e.pan >= -1.0f && e.pan <= 1.0f);
        check(g_state.speaker_digest[i] == case_fold_digest(e.hash));
        // No hash twice (digests first: the full check is quadratic).
        for (size_t j = 0; j < i; ++j)
            check(g_state.speaker_digest[j] != g_state.speaker_digest[i] ||
                  !equals_ignore_case(g_state.speaker_table[j].hash, e.hash));
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
    // end, cut at its first NUL; the worker hands over only UPDATE lines.
    size_t n = size < speaker_line_max ? size : speaker_line_max;
    std::string body(reinterpret_cast<const char *>(data), n);
    body = body.substr(0, body.find_first_of(std::string("\r\n\0", 3)));
    for (const char *kind : {"UPDATE2", "UPDATE"}) {
        std::string line = (std::string(kind) + body).substr(0, speaker_line_max);
        apply_speaker_update(line.c_str());
        check_table();
    }
    return 0;
}
