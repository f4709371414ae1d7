#include "configuration.h"

#include "build_info.h"
#include "logging.h"
#include "plugin_state.h"
#include "text.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr size_t module_path_size = 1024;

void store_settings(const config_values &cfg) {
    std::snprintf(g_state.server_host, sizeof g_state.server_host, "%s", cfg.server_host);
    g_state.server_port = cfg.server_port;
    std::snprintf(g_state.api_key, sizeof g_state.api_key, "%s", cfg.api_key);
    g_state.enabled = cfg.enabled;
    g_state.debug_log = cfg.debug_log;
    g_state.reconnect_sec = cfg.reconnect_sec;
    g_state.smooth_transitions = cfg.smooth_transitions;
}

void set_paths() {
    char module[module_path_size];
    size_t len = platform_module_path(module, sizeof module);
    plugin_dir_from_module_path(module, len, platform_path_separator(), g_state.plugin_dir, sizeof g_state.plugin_dir);
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

bool config_read_ini_file(const char *path, config_values *cfg) {
    FILE *f = platform_open_for_read(path);
    if (!f) return false;
    char line[ini_line_buffer_size];
    // fgets ends at the end of the file and at the first read error alike.
    while (std::fgets(line, sizeof line, f))
        config_apply_ini_line(cfg, line, std::strlen(line));
    std::fclose(f);
    return true;
}

void config_apply_environment(config_values *cfg) {
    char host[host_env_size];
    size_t n = platform_getenv(host_env_name, host, sizeof host);
    if (n >= 1 && n < sizeof host) std::snprintf(cfg->server_host, sizeof cfg->server_host, "%s", host);

    char port[port_env_size];
    n = platform_getenv(port_env_name, port, sizeof port);
    if (n >= 1 && n < sizeof port) cfg->server_port = parse_int_prefix(port, n);
}

void configuration_load() {
    config_values cfg;
    config_set_defaults(&cfg);
    set_paths();
    config_read_ini_file(g_state.ini_path, &cfg);  // no file: the defaults stand
    config_apply_environment(&cfg);
    store_settings(cfg);
}

void configuration_report() {
    log_notice("loaded version=%d.%d.%d platform=%s config=%s host=%s port=%d enabled=%d", QV_VERSION_MAJOR,
               QV_VERSION_MINOR, QV_VERSION_PATCH, platform_name(), g_state.ini_path, g_state.server_host,
               g_state.server_port, g_state.enabled ? 1 : 0);
}
