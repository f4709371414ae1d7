// UPDATE and UPDATE2 lines from the falloff server: each one replaces the
// whole speaker table.
#pragma once

#include <cstddef>

// Longest line the falloff link delivers, without its line end.
constexpr size_t speaker_line_max = 8190;
constexpr size_t speaker_work_size = 8192;

// `line` begins with "UPDATE"; rewrites the speaker table in one hold of the
// lock, then logs how many speakers it holds.
void apply_speaker_update(const char *line);
