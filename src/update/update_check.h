// Whether a newer stable release exists, and where to get it.
#pragma once

#include <cstdint>

bool update_available();
bool update_download_url(char *buffer, uint32_t buffer_size, uint32_t offset);
