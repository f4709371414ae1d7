// Clock, process, module path, environment and random bytes on POSIX.
#include "../platform.h"
#include "../time_scale.h"

#include <dlfcn.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

uint32_t platform_ticks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t real = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return time_scale::plugin_ms(real);
}

void platform_sleep(uint32_t ms) {
    uint32_t real = time_scale::real_ms(ms);
    timespec left{static_cast<time_t>(real / 1000), static_cast<long>(real % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

size_t platform_program_argument(int argc, char **argv, int index, char *buf, size_t size) {
    if (index < 0 || index >= argc || size == 0 || !argv[index]) return 0;
    size_t len = std::strlen(argv[index]);
    if (len >= size) return size;
    std::memcpy(buf, argv[index], len + 1);
    return len;
}

uint32_t platform_process_id() { return static_cast<uint32_t>(getpid()); }

bool platform_local_time(time_t when, std::tm *out) { return localtime_r(&when, out) != nullptr; }

size_t platform_module_path(char *buf, size_t size) {
    if (size == 0) return 0;
    Dl_info info{};
    // Any symbol of this library identifies it; this function is one.
    if (dladdr(reinterpret_cast<void *>(&platform_module_path), &info) == 0 || !info.dli_fname) return 0;
    const char *name = info.dli_fname;
    char resolved[4096];
    // dli_fname is the name the loader was given, possibly relative.
    if (realpath(name, resolved)) name = resolved;
    size_t len = std::strlen(name);
    if (len >= size) {
        std::memcpy(buf, name, size - 1);
        buf[size - 1] = '\0';
        return size;  // cut, as the Windows call reports it
    }
    std::memcpy(buf, name, len + 1);
    return len;
}

char platform_path_separator() { return '/'; }

const char *platform_name() { return "linux"; }

size_t platform_getenv(const char *name, char *buf, size_t size) {
    const char *value = std::getenv(name);
    if (!value || !*value) return 0;
    size_t len = std::strlen(value);
    if (len >= size) return len + 1;
    std::memcpy(buf, value, len + 1);
    return len;
}

bool platform_random_bytes(void *out, size_t n) {
    auto *next = static_cast<unsigned char *>(out);
    while (n > 0) {
        // Large requests may come back short, and a signal may interrupt one.
        ssize_t got = getrandom(next, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        next += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}
