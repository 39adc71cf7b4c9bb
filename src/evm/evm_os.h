// The kernel event queue, per OS: epoll on Linux (evm_os_linux.cc), kqueue on
// FreeBSD (evm_os_freebsd.cc). Each returns 0 or an errno value; the portable
// loop owns the messages.
#pragma once

#include <cstddef>

int evm_os_queue(int *queue);
int evm_os_add_read(int queue, int fd, void *user); // level-triggered
size_t evm_os_event_size();
// Waits at most timeout_ms (-1: forever). Returns the number of ready
// events, or -1 with errno set (EINTR for a signal).
int evm_os_wait(int queue, void *events, int max, int timeout_ms);
void *evm_os_event_user(const void *events, int index);
