#include "logging.h"

#include "plugin_state.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {
void write_debug_line(const char *format, va_list args) {
    if (g_state.debug_log != 1 || g_state.log_path[0] == '\0') return;
    // Opened and closed per line so nothing stays open between calls and
    // several threads can append without a lock.
    FILE *f = std::fopen(g_state.log_path, "ab");
    if (!f) return;
    std::tm local{};
    if (!platform_local_time(std::time(nullptr), &local)) local = std::tm{};
    std::fprintf(f, "[%04d-%02d-%02d %02d:%02d:%02d] ", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
    std::vfprintf(f, format, args);
    std::fputs("\r\n", f);
    std::fclose(f);
}

void debug_line(const char *format, ...) QV_PRINTF(1, 2);
void debug_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    write_debug_line(format, args);
    va_end(args);
}
}  // namespace

void log_debug(const char *format, ...) {
    if (thread_log_permission() == log_permission::none) return;
    va_list args;
    va_start(args, format);
    write_debug_line(format, args);
    va_end(args);
}

void log_notice(const char *format, ...) {
    log_permission permission = thread_log_permission();
    if (permission == log_permission::none) return;

    char message[notice_message_size];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) message[0] = '\0';

    char line[notice_line_size];
    std::snprintf(line, sizeof line, "%s%s", log_prefix, message);
    if (permission == log_permission::host_and_file) {
        if (auto host_log = api_slot<api_slot_log>()) host_log(g_state.plugin_id, line);
    }
    // Through "%s" so a '%' inside the message is written unchanged.
    debug_line("%s", message);
}
