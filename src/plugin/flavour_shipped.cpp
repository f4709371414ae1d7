#include "../core/flavour.h"

#include "../identity/https_client.h"  // QV_WEB_HOST
#include "../platform/platform.h"

#include <cstdio>

void flavour_configure() {}

void flavour_worker_started(const char *, uint32_t) {}

uint32_t flavour_worker_stop_wait_ms(uint32_t standard_ms) { return standard_ms; }

bool flavour_open_url(const char *address) { return platform_open_url(address); }

// Fixed when the library is built; nothing at run time moves it.
void flavour_web_endpoint(web_endpoint *out) {
    std::snprintf(out->host, sizeof out->host, "%s", QV_WEB_HOST);
    out->port = web_https_port;
    out->extra_ca_file[0] = '\0';
}
