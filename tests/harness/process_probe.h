// What the test process holds of the operating system right now: its threads
// and its open handles (file descriptors on POSIX). A plugin that leaves a
// thread or a handle behind at shutdown shows here as a count that grows.
#pragma once

#include <cstddef>

size_t process_thread_count();
size_t process_handle_count();
