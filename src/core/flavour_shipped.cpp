#include "flavour.h"

void flavour_configure() {}

void flavour_worker_started(const char *, uint32_t) {}

void flavour_falloff_idle() {}
