// Kernel event queue on FreeBSD: kqueue with EVFILT_READ, EV_ADD only, so readiness is level-triggered.
#include "evm/evm_os.h"

#include <cerrno>
#include <sys/event.h>

int evm_os_queue(int *queue)
{
	int q = kqueue();
	if (q < 0)
		return errno;
	*queue = q;
	return 0;
}

int evm_os_add_read(int queue, int fd, void *user)
{
	struct kevent ch;
	EV_SET(&ch, fd, EVFILT_READ, EV_ADD, 0, 0, user);
	return kevent(queue, &ch, 1, nullptr, 0, nullptr) < 0 ? errno : 0;
}

size_t evm_os_event_size() { return sizeof(struct kevent); }

int evm_os_wait(int queue, void *events, int max, int timeout_ms)
{
	timespec ts;
	timespec *tp = nullptr;
	if (timeout_ms >= 0) {
		ts.tv_sec = timeout_ms / 1000;
		ts.tv_nsec = (long)(timeout_ms % 1000) * 1000000;
		tp = &ts;
	}
	return kevent(queue, nullptr, 0, static_cast<struct kevent *>(events), max, tp);
}

void *evm_os_event_user(const void *events, int index)
{
	return static_cast<const struct kevent *>(events)[index].udata;
}
