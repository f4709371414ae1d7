// The one networked step of the update check, kept apart from the decision
// so that the decision builds and fuzzes without a web client.
#include "../identity/https_client.h"
#include "update_check.h"

bool update_available() {
    char response[http_response_size] = {};
    uint32_t status = 0;
    if (!http_request("GET", stable_release_path, nullptr, nullptr, &status, response)) return false;
    // The client terminates the body; a last NUL keeps a faulty one in bounds.
    response[sizeof response - 1] = '\0';
    return release_offers_update(status, response, QV_WEB_HOST);
}
