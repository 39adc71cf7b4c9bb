// Event manager: one single-threaded loop per worker thread over readable
// descriptors (level-triggered) and one-shot millisecond timers.
#pragma once

#include <cstdint>
#include <ctime>

using evm_callback = void (*)(void *arg);

struct evm_fd {
	int fd;
	evm_callback callback;
	void *arg;
};

struct evm_timer {
	int64_t expiry_sec; // CLOCK_MONOTONIC
	int64_t expiry_nsec;
	evm_callback callback;
	void *arg;
};

struct evm {
	evm_fd *fds;
	int32_t fd_capacity;
	int32_t fd_count;
	evm_timer *timers; // pending, earliest first; equal expiries in arming order
	int32_t timer_capacity;
	int32_t timer_count;
	int queue;    // kernel event queue
	void *events; // buffer of fd_capacity kernel event records
};

evm *evm_create(int fd_capacity, int timer_capacity);
void evm_add_fd(evm *e, int fd, evm_callback callback, void *arg);
void evm_add_timer(evm *e, uint32_t delay_ms, evm_callback callback, void *arg);
void evm_del_timer(evm *e, evm_callback callback, void *arg);
[[noreturn]] void evm_run(evm *e);

// The pieces of the loop, pure functions of a clock reading so that tests
// need no sleeping.
int64_t evm_ms_left(const evm_timer *t, const timespec *now);
void evm_add_timer_at(evm *e, const timespec *now, uint32_t delay_ms,
		      evm_callback callback, void *arg);
int evm_wait_timeout_ms(const evm *e, const timespec *now); // -1: no timeout
void evm_run_due(evm *e, const timespec *now);
void evm_run_once(evm *e); // one pass of evm_run

// Test helpers: the pending timer for a pair, or null.
const evm_timer *evm_find_timer(const evm *e, evm_callback callback, const void *arg);
