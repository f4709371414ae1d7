// Data files and durable file replacement on POSIX.
#include "../platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
constexpr mode_t secret_mode = 0600;
constexpr mode_t plain_mode = 0644;

// The open itself must not wait: a FIFO without a peer would hold a plain
// open for ever. Only once the descriptor is known to be a regular file is
// it made blocking again and handed to stdio.
std::FILE *open_regular(const char *path, int flags, mode_t mode, const char *stdio_mode) {
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) return nullptr;
    struct stat info {};
    int status = fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || status == -1 ||
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
        close(fd);
        return nullptr;
    }
    std::FILE *f = fdopen(fd, stdio_mode);
    if (!f) close(fd);
    return f;
}

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

std::FILE *platform_open_for_read(const char *path) { return open_regular(path, O_RDONLY, 0, "rb"); }

std::FILE *platform_open_for_write(const char *path, bool secret) {
    std::FILE *f = open_regular(path, O_WRONLY | O_CREAT | O_TRUNC, secret ? secret_mode : plain_mode, "wb");
    // A file left by an earlier crash keeps its old mode through O_CREAT.
    if (f && secret) fchmod(fileno(f), secret_mode);
    return f;
}

std::FILE *platform_open_for_append(const char *path) {
    return open_regular(path, O_WRONLY | O_CREAT | O_APPEND, plain_mode, "ab");
}

bool platform_file_size(std::FILE *file, uint64_t *size) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool platform_flush_to_disk(std::FILE *file) { return fsync(fileno(file)) == 0; }

bool platform_replace_file(const char *from, const char *to) {
    if (rename(from, to) != 0) return false;
    sync_parent_folder(to);
    return true;
}

bool platform_delete_file(const char *path) { return unlink(path) == 0; }

bool platform_make_folder(const char *path) {
    if (mkdir(path, 0755) == 0) return true;
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool platform_list_folder(const char *folder, platform_folder_entry_fn fn, void *context) {
    DIR *dir = opendir(folder);
    if (!dir) return false;
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        fn(entry->d_name, context);
    }
    closedir(dir);
    return true;
}
