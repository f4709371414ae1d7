#include "configuration.h"

#include "logging.h"
#include "plugin_state.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr size_t module_path_size = 1024;

void set_defaults() {
    std::snprintf(g_state.server_host, sizeof g_state.server_host, "%s", default_server_host);
    g_state.server_port = default_server_port;
    g_state.api_key[0] = '\0';
    g_state.enabled = 1;
    g_state.debug_log = 1;
    g_state.reconnect_sec = default_reconnect_sec;
}

void set_paths() {
    char module[module_path_size];
    size_t len = platform_module_path(module, sizeof module);
    plugin_dir_from_module_path(module, len, platform_path_separator(), g_state.plugin_dir,
                                sizeof g_state.plugin_dir);
    char sep = platform_path_separator();
    const char *dir = g_state.plugin_dir;
    std::snprintf(g_state.ini_path, sizeof g_state.ini_path, "%s%c%s", dir, sep, ini_file_name);
    std::snprintf(g_state.log_path, sizeof g_state.log_path, "%s%c%s", dir, sep, log_file_name);
    std::snprintf(g_state.client_id_path, sizeof g_state.client_id_path, "%s%c%s", dir, sep, client_id_file_name);
    std::snprintf(g_state.token_path, sizeof g_state.token_path, "%s%c%s", dir, sep, token_file_name);
}
}  // namespace

void plugin_dir_from_module_path(const char *module_path, size_t reported_len, char separator, char *out,
                                 size_t out_size) {
    // 0 is a failure and a length that fills the buffer means the name was cut.
    const char *cut = nullptr;
    if (reported_len >= 1 && reported_len < module_path_size) {
        for (size_t i = 0; i < reported_len && module_path[i]; ++i)
            if (module_path[i] == separator) cut = module_path + i;
    }
    if (!cut) {
        std::snprintf(out, out_size, ".");
        return;
    }
    std::snprintf(out, out_size, "%.*s", static_cast<int>(cut - module_path), module_path);
}

void configuration_load() {
    set_defaults();
    set_paths();
}

void configuration_report() {
    log_notice("loaded version=%d.%d.%d platform=%s config=%s host=%s port=%d enabled=%d", 0, 2, 7, platform_name(),
               g_state.ini_path, g_state.server_host, g_state.server_port, g_state.enabled ? 1 : 0);
}
