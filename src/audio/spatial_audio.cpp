#include "spatial_audio.h"

bool process_audio_source(float *, uint32_t, uint16_t, uint32_t, bool, uint32_t) { return false; }
