// The plugin's two log channels: its own file (debug lines, when debug_log
// is on) and Mumble's log (notices, with the product prefix).
#pragma once

#include <cstdint>
#include <cstdio>

// Formats are checked against the printf family actually linked: mingw-w64
// names its C99 one (which knows %zu) through __MINGW_PRINTF_FORMAT, where
// plain "printf" would mean the older Microsoft dialect.
#if defined(__MINGW_PRINTF_FORMAT)
#define QV_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define QV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define QV_PRINTF(f, a)
#endif

constexpr const char *log_prefix = "[Quorvane Voice] ";
constexpr int notice_message_size = 1024;
constexpr int notice_line_size = 1200;

// A line about to go to a log file of this size or more first moves the file
// to the log's name + log_previous_suffix (replacing the older one): at most
// about twice this much log is kept.
constexpr uint64_t log_file_limit_bytes = 8u * 1024u * 1024u;
constexpr char log_previous_suffix[] = ".1";

void log_debug(const char *format, ...) QV_PRINTF(1, 2);
void log_notice(const char *format, ...) QV_PRINTF(1, 2);
