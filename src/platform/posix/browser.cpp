// Opening a web address on POSIX desktops: xdg-open, started directly (never
// through a shell) with the address as its one argument.
#include "../platform.h"

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

extern char **environ;

namespace {
constexpr const char *opener = "xdg-open";
// How long the caller waits to learn whether the opener failed at once (no
// desktop, no handler for the address). One still running after that has
// taken the address; a detached thread reaps it whenever it ends.
constexpr uint32_t opener_verdict_ms = 500;
constexpr uint32_t opener_poll_ms = 10;

void sleep_real_ms(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void *reap(void *raw) {
    pthread_setname_np(pthread_self(), "qv-reaper");
    auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(raw));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

void reap_later(pid_t pid) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    // Without a thread the child stays a zombie until the host reaps it or
    // ends; waiting here instead could hold the caller for as long as the
    // browser runs.
    pthread_create(&thread, &attr, reap, reinterpret_cast<void *>(static_cast<intptr_t>(pid)));
    pthread_attr_destroy(&attr);
}

pid_t spawn_opener(const char *address) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // The browser may outlive the host; it keeps none of the host's files.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    // Nor the host's blocked or ignored signals.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char *argv[] = {const_cast<char *>(opener), const_cast<char *>(address), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, opener, &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}
}  // namespace

bool platform_open_url(const char *address) {
    if (!address || !*address) return false;
    pid_t pid = spawn_opener(address);
    if (pid < 0) return false;
    for (uint32_t waited = 0; waited < opener_verdict_ms; waited += opener_poll_ms) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        // A host that ignores SIGCHLD has its children reaped for it; the
        // opener's verdict is then unknown and the request stands.
        if (done < 0 && errno != EINTR) return true;
        sleep_real_ms(opener_poll_ms);
    }
    reap_later(pid);
    return true;
}
