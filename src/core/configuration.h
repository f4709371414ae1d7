// Configuration and data files: defaults, the plugin directory and the paths
// of the files beside the library, the ini file and the environment
// overrides, read once by init (which then reads the stored credential). Also the decimal reader of
// the speaker lists.
#pragma once

#include "plugin_state.h"

#include <cstddef>
#include <cstdint>

constexpr const char *ini_file_name = "quorvane_voice.ini";
constexpr const char *log_file_name = "quorvane_voice.log";
constexpr const char *client_id_file_name = "quorvane_voice_client_id.txt";
constexpr const char *token_file_name = "quorvane_voice_token.txt";

constexpr const char *default_server_host = "127.0.0.1";
constexpr int default_server_port = 8890;
constexpr int default_reconnect_sec = 8;

// The ini file is read through a buffer of this size: a longer line arrives
// in pieces of at most ini_line_buffer_size - 1 bytes, each taken as a line.
constexpr size_t ini_line_buffer_size = 1024;

constexpr const char *host_env_name = "QUORVANE_VOICE_HOST";
constexpr const char *port_env_name = "QUORVANE_VOICE_PORT";
// A value must fit with its terminator; a longer one is ignored.
constexpr size_t host_env_size = host_size;
constexpr size_t port_env_size = 32;

// The settings, gathered here before they go into the state record.
struct config_values {
    char server_host[host_size];
    int32_t server_port;
    char api_key[api_key_size];
    uint8_t enabled;
    uint8_t debug_log;
    int32_t reconnect_sec;
    uint8_t smooth_transitions;
};

// Fills every configuration field of the state record, in init's order.
void configuration_load();
// The start-up notice that reports the loaded configuration.
void configuration_report();

// Directory part of a library file name: what stands before the last
// `separator`, or "." when there is none. Pure, for tests.
void plugin_dir_from_module_path(const char *module_path, size_t reported_len, char separator, char *out,
                                 size_t out_size);

// ---- pure parsers (config_parse.cpp) -----------------------------------------
void config_set_defaults(config_values *cfg);
// One line of the ini file (its line end may be included). The text ends at
// its first NUL byte or after `length` bytes. True when it set a setting.
bool config_apply_ini_line(config_values *cfg, const char *line, size_t length);
// Optional white space, optional sign, digits; stops at anything else, 0
// without digits. Out-of-range values saturate at INT32_MIN / INT32_MAX.
int32_t parse_int_prefix(const char *text, size_t length);
// Decimal text (blanks and tabs before it, optional sign, digits, optional
// fraction) to a float; `value` is written only when true is returned.
bool parse_float(const char *text, float *value);

// ---- files and environment (configuration.cpp) -------------------------------
// Applies every line of the ini file at `path`; false when it cannot be opened.
bool config_read_ini_file(const char *path, config_values *cfg);
// QUORVANE_VOICE_HOST and QUORVANE_VOICE_PORT, when set and short enough.
void config_apply_environment(config_values *cfg);
