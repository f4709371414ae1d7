#include "logging.h"

#include "plugin_state.h"
#include "text.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {
// Serialises the size check, the rotation and the append of every line, so
// lines from several threads never interleave and a rotation never races an
// append (the C library's append mode is no single step on Windows). Never
// destroyed: any thread may log at any time.
struct log_file_lock {
    log_file_lock() { platform_lock_init(&lock); }
    platform_lock lock;
};

platform_lock *file_lock() {
    static log_file_lock instance;
    return &instance.lock;
}

// A full log file is moved aside (over an older one) and a new one begun.
// When the move fails the line is dropped, so the file stays bounded.
std::FILE *open_log_for_line() {
    std::FILE *f = platform_open_for_append(g_state.log_path);
    if (!f) return nullptr;
    uint64_t size = 0;
    if (!platform_file_size(f, &size) || size < log_file_limit_bytes) return f;
    std::fclose(f);
    char previous[path_size + sizeof log_previous_suffix];
    int n = std::snprintf(previous, sizeof previous, "%s%s", g_state.log_path, log_previous_suffix);
    if (!formatted_fits(n, sizeof previous) || !platform_replace_file(g_state.log_path, previous)) return nullptr;
    return platform_open_for_append(g_state.log_path);
}

void write_debug_line(const char *format, va_list args) {
    if (g_state.debug_log != 1 || g_state.log_path[0] == '\0') return;
    // Opened and closed per line so nothing stays open between calls.
    platform_lock_enter(file_lock());
    if (std::FILE *f = open_log_for_line()) {
        std::tm local{};
        if (!platform_local_time(std::time(nullptr), &local)) local = std::tm{};
        std::fprintf(f, "[%04d-%02d-%02d %02d:%02d:%02d] ", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour, local.tm_min, local.tm_sec);
        std::vfprintf(f, format, args);
        std::fputs("\r\n", f);
        std::fclose(f);
    }
    platform_lock_leave(file_lock());
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
