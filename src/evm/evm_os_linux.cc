// Kernel event queue on Linux: epoll, level-triggered (no EPOLLET), user pointer in data.ptr.
#include "evm/evm_os.h"

#include <cerrno>
#include <sys/epoll.h>

int evm_os_queue(int *queue)
{
	int q = epoll_create1(EPOLL_CLOEXEC);
	if (q < 0)
		return errno;
	*queue = q;
	return 0;
}

int evm_os_add_read(int queue, int fd, void *user)
{
	epoll_event ev{};
	ev.events = EPOLLIN;
	ev.data.ptr = user;
	return epoll_ctl(queue, EPOLL_CTL_ADD, fd, &ev) < 0 ? errno : 0;
}

size_t evm_os_event_size() { return sizeof(epoll_event); }

int evm_os_wait(int queue, void *events, int max, int timeout_ms)
{
	return epoll_wait(queue, static_cast<epoll_event *>(events), max, timeout_ms);
}

void *evm_os_event_user(const void *events, int index)
{
	return static_cast<const epoll_event *>(events)[index].data.ptr;
}
