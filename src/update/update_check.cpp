#include "update_check.h"

bool update_available() { return false; }

bool update_download_url(char *, uint32_t, uint32_t) { return false; }
