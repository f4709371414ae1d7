// Development flavour: test settings come from the environment.
//   QUORVANE_VOICE_TEST_TIME_SCALE  speed-up of every clock, wait and time-out
//   QUORVANE_VOICE_TEST_STALL       "<worker>=<ms>": hold that worker at its
//                                   start, ignoring shutdown, for ms
//   QUORVANE_VOICE_TEST_STALL_MARK  file the held worker writes "stale" or
//                                   "current" into once it is let go
// and a speaker line left by a test in "quorvane_voice_test_update.txt"
// beside the library is applied by the falloff worker, then deleted.
#include "flavour.h"

#include "../falloff/speaker_update.h"
#include "../platform/platform.h"
#include "plugin_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void flavour_configure() {
    char text[64];
    size_t n = platform_getenv("QUORVANE_VOICE_TEST_TIME_SCALE", text, sizeof text);
    platform_set_time_scale(n > 0 && n < sizeof text ? std::atof(text) : 1.0);
}

void flavour_worker_started(const char *worker, uint32_t generation) {
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
    if (FILE *f = std::fopen(mark, "wb")) {
        std::fputs(worker_is_current(generation) ? "current" : "stale", f);
        std::fclose(f);
    }
}

void flavour_falloff_idle() {
    char path[path_size];
    std::snprintf(path, sizeof path, "%s%c%s", g_state.plugin_dir, platform_path_separator(),
                  "quorvane_voice_test_update.txt");
    FILE *f = std::fopen(path, "rb");
    if (!f) return;
    static char line[speaker_work_size];
    size_t n = std::fread(line, 1, speaker_line_max, f);
    std::fclose(f);
    line[n] = '\0';
    if (char *end = std::strpbrk(line, "\r\n")) *end = '\0';
    platform_delete_file(path);
    if (std::strncmp(line, "UPDATE", 6) == 0) apply_speaker_update(line);
}
