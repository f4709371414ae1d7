// Configuration and data files: defaults, the plugin directory and the paths
// of the files beside the library, read once by init.
#pragma once

#include <cstddef>

constexpr const char *ini_file_name = "quorvane_voice.ini";
constexpr const char *log_file_name = "quorvane_voice.log";
constexpr const char *client_id_file_name = "quorvane_voice_client_id.txt";
constexpr const char *token_file_name = "quorvane_voice_token.txt";

constexpr const char *default_server_host = "127.0.0.1";
constexpr int default_server_port = 8890;
constexpr int default_reconnect_sec = 8;

// Fills every configuration field of the state record, in init's order.
void configuration_load();
// The start-up notice that reports the loaded configuration.
void configuration_report();

// Directory part of a library file name: what stands before the last
// `separator`, or "." when there is none. Pure, for tests.
void plugin_dir_from_module_path(const char *module_path, size_t reported_len, char separator, char *out,
                                 size_t out_size);
