// Dispatch loop: descriptor callbacks first, then every timer due at one clock reading.
#include "evm/evm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "evm/evm_os.h"

static void *evm_alloc(size_t n, size_t size)
{
	void *p = calloc(n, size);
	if (p == nullptr)
		log_fatal("Cannot allocate memory: %s\n", strerror(errno));
	return p;
}

evm *evm_create(int fd_capacity, int timer_capacity)
{
	evm *e = static_cast<evm *>(evm_alloc(1, sizeof(evm)));
	e->queue = -1;
	if (fd_capacity != 0) {
		e->fds = static_cast<evm_fd *>(evm_alloc((size_t)fd_capacity, sizeof(evm_fd)));
		e->fd_capacity = fd_capacity;
		int err = evm_os_queue(&e->queue);
		if (err != 0)
			log_fatal("kqueue: %s\n", strerror(err));
		e->events = evm_alloc((size_t)fd_capacity, evm_os_event_size());
	}
	if (timer_capacity != 0) {
		e->timers = static_cast<evm_timer *>(
			evm_alloc((size_t)timer_capacity, sizeof(evm_timer)));
		e->timer_capacity = timer_capacity;
	}
	return e;
}

void evm_add_fd(evm *e, int fd, evm_callback callback, void *arg)
{
	if (e->fd_count >= e->fd_capacity)
		log_fatal("evm_add_fd: Number of FDs (%d) exceeded.\n", e->fd_capacity);
	evm_fd *entry = &e->fds[e->fd_count];
	entry->fd = fd;
	entry->callback = callback;
	entry->arg = arg;
	int err = evm_os_add_read(e->queue, fd, entry);
	if (err != 0)
		log_fatal("kevent (EV_SET): %s\n", strerror(err));
	e->fd_count++;
}

int64_t evm_ms_left(const evm_timer *t, const timespec *now)
{
	int64_t sec = t->expiry_sec - (int64_t)now->tv_sec;
	int64_t nsec = t->expiry_nsec - (int64_t)now->tv_nsec;
	if (nsec < 0) {
		nsec += 1000000000;
		sec -= 1;
	}
	// Rounds towards minus infinity: 0.5 ms before expiry gives 0, after gives -1.
	return sec * 1000 + nsec / 1000000;
}

void evm_add_timer_at(evm *e, const timespec *now, uint32_t delay_ms,
		      evm_callback callback, void *arg)
{
	if (e->timer_count >= e->timer_capacity) {
		log_warn("evm_add_timer: Number of timers (%d) exceeded\n", e->timer_capacity);
		return;
	}
	int64_t sec = (int64_t)now->tv_sec + delay_ms / 1000;
	int64_t nsec = (int64_t)now->tv_nsec + (int64_t)(delay_ms % 1000) * 1000000;
	if (nsec >= 1000000000) {
		nsec -= 1000000000;
		sec += 1;
	}
	// After every pending timer with the same expiry: equal expiries run in
	// the order they were armed.
	int32_t at = e->timer_count;
	for (int32_t i = 0; i < e->timer_count; i++) {
		const evm_timer *t = &e->timers[i];
		if (t->expiry_sec > sec || (t->expiry_sec == sec && t->expiry_nsec > nsec)) {
			at = i;
			break;
		}
	}
	memmove(&e->timers[at + 1], &e->timers[at],
		(size_t)(e->timer_count - at) * sizeof(evm_timer));
	e->timers[at] = evm_timer{sec, nsec, callback, arg};
	e->timer_count++;
}

void evm_add_timer(evm *e, uint32_t delay_ms, evm_callback callback, void *arg)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	evm_add_timer_at(e, &now, delay_ms, callback, arg);
}

static void evm_remove_at(evm *e, int32_t i)
{
	e->timer_count--;
	memmove(&e->timers[i], &e->timers[i + 1],
		(size_t)(e->timer_count - i) * sizeof(evm_timer));
}

void evm_del_timer(evm *e, evm_callback callback, void *arg)
{
	for (int32_t i = 0; i < e->timer_count; i++) {
		if (e->timers[i].callback == callback && e->timers[i].arg == arg) {
			evm_remove_at(e, i);
			return;
		}
	}
}

const evm_timer *evm_find_timer(const evm *e, evm_callback callback, const void *arg)
{
	for (int32_t i = 0; i < e->timer_count; i++)
		if (e->timers[i].callback == callback && e->timers[i].arg == arg)
			return &e->timers[i];
	return nullptr;
}

int evm_wait_timeout_ms(const evm *e, const timespec *now)
{
	if (e->timer_count == 0)
		return -1;
	int64_t ms = evm_ms_left(&e->timers[0], now);
	// Every timed wait lasts at least 1 ms, even for a timer already due.
	if (ms < 2)
		ms = 1;
	if (ms > 0x7fffffff)
		ms = 0x7fffffff;
	return (int)ms;
}

void evm_run_due(evm *e, const timespec *now)
{
	// One clock reading per pass: a timer armed by a callback runs in this
	// pass only if it is due less than 1 ms after that reading.
	while (e->timer_count > 0 && evm_ms_left(&e->timers[0], now) <= 0) {
		evm_callback cb = e->timers[0].callback;
		void *arg = e->timers[0].arg;
		evm_remove_at(e, 0);
		cb(arg);
	}
}

void evm_run_once(evm *e)
{
	timespec now;
	int timeout = -1;
	if (e->timer_count > 0) {
		clock_gettime(CLOCK_MONOTONIC, &now);
		timeout = evm_wait_timeout_ms(e, &now);
	}
	int n = evm_os_wait(e->queue, e->events, e->fd_count, timeout);
	if (n < 0) {
		if (errno != EINTR)
			log_warn("kevent: %s\n", strerror(errno));
	} else {
		for (int i = 0; i < n; i++) {
			evm_fd *entry = static_cast<evm_fd *>(evm_os_event_user(e->events, i));
			entry->callback(entry->arg);
		}
	}
	if (e->timer_count == 0)
		return;
	clock_gettime(CLOCK_MONOTONIC, &now);
	evm_run_due(e, &now);
}

void evm_run(evm *e)
{
	for (;;)
		evm_run_once(e);
}
