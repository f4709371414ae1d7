// Durable file replacement on POSIX.
#include "../platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
constexpr mode_t secret_mode = 0600;
constexpr mode_t plain_mode = 0644;

// The folder's entry for a rename is durable only once the folder itself
// has been synced.
void sync_parent_folder(const char *path) {
    char folder[4096];
    std::snprintf(folder, sizeof folder, "%s", path);
    char *slash = std::strrchr(folder, '/');
    if (slash == folder)
        folder[1] = '\0';
    else if (slash)
        *slash = '\0';
    else
        std::snprintf(folder, sizeof folder, ".");
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}
}  // namespace

std::FILE *platform_open_for_write(const char *path, bool secret) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, secret ? secret_mode : plain_mode);
    if (fd < 0) return nullptr;
    // A file left by an earlier crash keeps its old mode through O_CREAT.
    if (secret) fchmod(fd, secret_mode);
    std::FILE *f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

bool platform_flush_to_disk(std::FILE *file) { return fsync(fileno(file)) == 0; }

bool platform_replace_file(const char *from, const char *to) {
    if (rename(from, to) != 0) return false;
    sync_parent_folder(to);
    return true;
}

bool platform_delete_file(const char *path) { return unlink(path) == 0; }
