// Loads the plugin into the simulated Mumble host and prints what Mumble
// would show through a whole session: init, a server-less run, a server
// synchronize and disconnect, and shutdown, with the plugin's own log file.
#include "harness/mumble_host.h"
#include "harness/sandbox.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {
using clock_type = std::chrono::steady_clock;

size_t shown = 0;
void show_new_lines(const mumble_host &host) {
    auto logs = host.logs();
    for (; shown < logs.size(); ++shown)
        std::printf("  mumble log | %s\n", logs[shown].c_str());
}

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}
}  // namespace

int main() {
    plugin_sandbox box("Plugins");
    std::printf("plugin folder: %s\n", box.dir().string().c_str());
    mumble_host host(box.library());
    if (!host.loaded()) {
        std::printf("could not load the plugin: %s\n", host.load_error().c_str());
        return 1;
    }
    auto name = host.fn<MumbleStringWrapper (*)()>("mumble_getName")();
    auto api = host.fn<mumble_version_t (*)()>("mumble_getAPIVersion")();
    std::printf("loaded %.*s, plugin API %d.%d.%d\n", static_cast<int>(name.size), name.data, api.major, api.minor,
                api.patch);

    std::printf("\n-- mumble_registerAPIFunctions, mumble_init\n");
    host.register_api();
    int rc = host.init(1);
    std::printf("  init returned %d\n", rc);
    show_new_lines(host);

    std::printf("\n-- no server yet: the workers wait (2 s)\n");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    show_new_lines(host);

    std::printf("\n-- Mumble synchronizes with a server (connection 0), then leaves it\n");
    host.set_local_user(1);
    host.set_users({{1, std::string("4f2a9c0e7d1b3a5c6e8f0a2b4c6d8e0f1a3b5c7d"), 0},
                    {2, std::string("9e8d7c6b5a493827161504f3e2d1c0b9a8978675"), 0}});
    host.synchronize(0);
    show_new_lines(host);
    host.disconnect(0);
    show_new_lines(host);

    std::printf("\n-- mumble_shutdown while both workers idle\n");
    auto start = clock_type::now();
    host.shutdown();
    double took = ms_since(start);
    show_new_lines(host);
    std::printf("  shutdown took %.1f ms\n", took);

    std::printf("\n-- the plugin's log file (%s)\n", box.file("quorvane_voice.log").string().c_str());
    std::string text = box.read("quorvane_voice.log");
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        std::printf("  %s\n", text.substr(at, end - at).c_str());

    bool memory_ok = host.outstanding() == 0 && host.memory_errors().empty();
    std::printf("\nhost memory handed out: %zu, all given back: %s\n", host.handed_out(), memory_ok ? "yes" : "NO");
    return rc == 0 && memory_ok ? 0 : 1;
}
