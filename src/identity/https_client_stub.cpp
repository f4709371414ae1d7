// Stands in for the HTTPS client until the platform's one is wired up: no
// request is ever made, so every caller sees an unreachable service.
#include "https_client.h"

bool http_request(const char *, const char *, const char *, const char *, uint32_t *, char *) { return false; }
