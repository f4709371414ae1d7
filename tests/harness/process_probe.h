// What the test process holds of the operating system right now: the
// plugin's threads and the open handles (file descriptors on POSIX). A plugin
// that leaves a thread or a handle behind at shutdown shows here.
#pragma once

#include <cstddef>

// The threads the plugin started and that still run (named "qv-…"): others
// in the process (the system's, the test framework's) come and go as they
// please, under Wine more than anywhere.
size_t plugin_thread_count();
size_t process_handle_count();
