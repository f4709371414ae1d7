// Per-source gain and pan on Mumble's audio thread.
#pragma once

#include <cstdint>

bool process_audio_source(float *pcm, uint32_t frames, uint16_t channels, uint32_t sample_rate, bool is_speech,
                          uint32_t user_id);
