#include "credential_store.h"

#include "../core/plugin_state.h"
#include "../core/text.h"

#include <cstdio>
#include <cstring>

namespace {
// The token path and ".new." with a process id.
constexpr size_t temporary_path_size = 1088;
// What follows the token file's name in the name of a temporary file.
constexpr char temporary_infix[] = ".new.";

struct leftover_search {
    const char *folder;
    char prefix[path_size];
    size_t prefix_length;
};

void delete_if_leftover(const char *name, void *context) {
    auto *search = static_cast<leftover_search *>(context);
    if (std::strncmp(name, search->prefix, search->prefix_length) != 0) return;
    char path[temporary_path_size];
    int n = std::snprintf(path, sizeof path, "%s%c%s", search->folder, platform_path_separator(), name);
    if (formatted_fits(n, sizeof path)) platform_delete_file(path);
}
}  // namespace

bool credential_is_valid(const char *text) {
    if (!text || std::strlen(text) != credential_token_length) return false;
    if (std::strncmp(text, credential_prefix, 4) != 0) return false;
    for (const char *p = text + 4; *p; ++p) {
        if (!(is_alnum(*p) || *p == '_' || *p == '-')) return false;
    }
    return true;
}

void credential_publish(const char *token) {
    bool valid = credential_is_valid(token);
    // A worker whose session has ended leaves the next session's state alone.
    if (!worker_state_enter()) return;
    std::snprintf(g_state.credential, sizeof g_state.credential, "%s", valid ? token : "");
    state_lock_leave();
    // A falloff worker idle for want of a credential connects now.
    workers_wake();
}

bool credential_save(const char *token) {
    if (!credential_is_valid(token)) return false;

    char temporary[temporary_path_size];
    std::snprintf(temporary, sizeof temporary, "%s%s%lu", g_state.token_path, temporary_infix,
                  static_cast<unsigned long>(platform_process_id()));

    std::FILE *f = platform_open_for_write(temporary, true);
    if (!f) return false;
    bool ok = std::fprintf(f, "%s\r\n", token) > 0;
    ok = ok && std::fflush(f) == 0 && platform_flush_to_disk(f);
    ok = (std::fclose(f) == 0) && ok;
    ok = ok && platform_replace_file(temporary, g_state.token_path);
    if (!ok) {
        platform_delete_file(temporary);
        return false;
    }
    credential_publish(token);
    return true;
}

void credential_delete_leftovers(const char *folder, const char *token_file_name) {
    leftover_search search{folder, {}, 0};
    int n = std::snprintf(search.prefix, sizeof search.prefix, "%s%s", token_file_name, temporary_infix);
    if (!formatted_fits(n, sizeof search.prefix)) return;
    search.prefix_length = static_cast<size_t>(n);
    platform_list_folder(folder, &delete_if_leftover, &search);
}

token_file_read credential_read_token_line(const char *path, char *out) {
    char text[credential_size] = {};
    std::FILE *f = platform_open_for_read(path);
    if (!f) return token_file_read::unreadable;
    bool read = std::fgets(text, sizeof text, f) != nullptr;
    std::fclose(f);
    if (!read) return token_file_read::invalid;

    char *begin = text;
    while (is_space(*begin))
        ++begin;
    char *end = begin + std::strlen(begin);
    while (end > begin && is_space(end[-1]))
        --end;
    *end = '\0';
    if (!credential_is_valid(begin)) return token_file_read::invalid;
    std::snprintf(out, credential_size, "%s", begin);
    return token_file_read::valid;
}

bool credential_read_token_file(const char *path) {
    char token[credential_size];
    // A token that fails the check leaves the credential alone, silently.
    if (credential_read_token_line(path, token) != token_file_read::valid) return false;
    credential_publish(token);
    return true;
}
