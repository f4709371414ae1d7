#include "flavour.h"

#include "../platform/platform.h"

void flavour_configure() {}

void flavour_worker_started(const char *, uint32_t) {}

bool flavour_open_url(const char *address) { return platform_open_url(address); }
