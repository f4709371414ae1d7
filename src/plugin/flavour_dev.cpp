// Development flavour: test settings come from the environment.
//   QUORVANE_VOICE_TEST_TIME_SCALE  speed-up of every clock, wait and time-out
//   QUORVANE_VOICE_TEST_STALL       "<worker>=<ms>": hold that worker at its
//                                   start, ignoring shutdown, for ms
//   QUORVANE_VOICE_TEST_STALL_MARK  file the held worker writes "stale" or
//                                   "current" into once it is let go
//   QUORVANE_VOICE_TEST_STOP_WAIT_MS
//                                   how long shutdown waits for each worker
//                                   (real ms), for tests of one that overruns
//   QUORVANE_VOICE_TEST_OPENER_LOG  file that receives each address the
//                                   browser would have been opened on
//   QUORVANE_VOICE_TEST_WEB_HOST, QUORVANE_VOICE_TEST_WEB_PORT
//                                   the web service's endpoint (a test peer)
//   QUORVANE_VOICE_TEST_WEB_CA      PEM file of the test peer's CA, trusted
//                                   besides the system's store (Linux; under
//                                   Wine the CA is in the prefix's Root store)
//   QUORVANE_VOICE_TEST_CREDENTIAL_SAVES
//                                   "<n>": the identity worker first saves n
//                                   credentials in a row, as a link would
//                                   (for crash tests of the token file)
#include "../core/flavour.h"

#include "../core/plugin_state.h"
#include "../identity/credential_store.h"
#include "../identity/https_client.h"  // QV_WEB_HOST
#include "../platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// 0: the standard wait. Written by init only, before any worker exists.
uint32_t test_stop_wait_ms = 0;
}  // namespace

void flavour_configure() {
    char text[64];
    size_t n = platform_getenv("QUORVANE_VOICE_TEST_TIME_SCALE", text, sizeof text);
    platform_set_time_scale(n > 0 && n < sizeof text ? std::atof(text) : 1.0);
    n = platform_getenv("QUORVANE_VOICE_TEST_STOP_WAIT_MS", text, sizeof text);
    test_stop_wait_ms = n > 0 && n < sizeof text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

uint32_t flavour_worker_stop_wait_ms(uint32_t standard_ms) {
    return test_stop_wait_ms != 0 ? test_stop_wait_ms : standard_ms;
}

namespace {
// Token number i of this process: "vc1." + P + C + "-" + P + C + "_q", with
// P the process id and C the number, each in 10 decimal digits. A file that
// mixed two of them would show two different halves.
void test_credential(unsigned long number, char *out, size_t size) {
    unsigned long process = platform_process_id();
    std::snprintf(out, size, "vc1.%010lu%010lu-%010lu%010lu_q", process, number, process, number);
}

void save_test_credentials(uint32_t generation) {
    char text[32];
    size_t n = platform_getenv("QUORVANE_VOICE_TEST_CREDENTIAL_SAVES", text, sizeof text);
    if (n == 0 || n >= sizeof text) return;
    unsigned long count = std::strtoul(text, nullptr, 10);
    char token[credential_size];
    for (unsigned long i = 0; i < count && worker_is_current(generation); ++i) {
        test_credential(i, token, sizeof token);
        credential_save(token);
    }
}
}  // namespace

void flavour_worker_started(const char *worker, uint32_t generation) {
    if (std::strcmp(worker, "identity") == 0) save_test_credentials(generation);
    // Read by the worker itself into its own stack: nothing here is shared
    // with a later init that runs while this worker is held.
    char text[64];
    size_t n = platform_getenv("QUORVANE_VOICE_TEST_STALL", text, sizeof text);
    if (n == 0 || n >= sizeof text) return;
    const char *eq = std::strchr(text, '=');
    if (!eq || std::strncmp(text, worker, static_cast<size_t>(eq - text)) != 0 || worker[eq - text] != '\0') return;
    char mark[path_size];
    n = platform_getenv("QUORVANE_VOICE_TEST_STALL_MARK", mark, sizeof mark);
    if (n == 0 || n >= sizeof mark) mark[0] = '\0';

    platform_sleep(static_cast<uint32_t>(std::strtoul(eq + 1, nullptr, 10)));

    if (mark[0] == '\0') return;
    if (FILE *f = platform_open_for_write(mark, false)) {
        std::fputs(worker_is_current(generation) ? "current" : "stale", f);
        std::fclose(f);
    }
}

bool flavour_open_url(const char *address) {
    char log[path_size];
    size_t n = platform_getenv("QUORVANE_VOICE_TEST_OPENER_LOG", log, sizeof log);
    if (n == 0 || n >= sizeof log) return platform_open_url(address);
    FILE *f = platform_open_for_append(log);
    if (!f) return false;
    bool ok = std::fprintf(f, "%s\n", address) > 0;
    return (std::fclose(f) == 0) && ok;
}

void flavour_web_endpoint(web_endpoint *out) {
    size_t n = platform_getenv("QUORVANE_VOICE_TEST_WEB_HOST", out->host, sizeof out->host);
    if (n == 0 || n >= sizeof out->host) std::snprintf(out->host, sizeof out->host, "%s", QV_WEB_HOST);
    char text[16];
    n = platform_getenv("QUORVANE_VOICE_TEST_WEB_PORT", text, sizeof text);
    unsigned long port = n > 0 && n < sizeof text ? std::strtoul(text, nullptr, 10) : 0;
    out->port = port > 0 && port <= UINT16_MAX ? static_cast<uint16_t>(port) : web_https_port;
    n = platform_getenv("QUORVANE_VOICE_TEST_WEB_CA", out->extra_ca_file, sizeof out->extra_ca_file);
    if (n == 0 || n >= sizeof out->extra_ca_file) out->extra_ca_file[0] = '\0';
}
