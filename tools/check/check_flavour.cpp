// The checker's flavour of the plugin's hooks: the web service is wherever
// the command line points, and no browser is ever opened.
#include "check_flavour.h"

#include "core/flavour.h"
#include "identity/https_client.h"  // QV_WEB_HOST

#include <cstdio>

namespace {
web_endpoint endpoint = {QV_WEB_HOST, web_https_port, ""};
}  // namespace

void check_set_web_endpoint(const char *host, uint16_t port, const char *extra_ca_file) {
    std::snprintf(endpoint.host, sizeof endpoint.host, "%s", host);
    endpoint.port = port;
    std::snprintf(endpoint.extra_ca_file, sizeof endpoint.extra_ca_file, "%s", extra_ca_file ? extra_ca_file : "");
}

void flavour_configure() {}

void flavour_worker_started(const char *, uint32_t) {}

bool flavour_open_url(const char *) { return false; }

void flavour_web_endpoint(web_endpoint *out) { *out = endpoint; }
