// Event manager: timer order, rounding, cancellation, capacities, dispatch.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "evm/evm.h"

namespace {

std::vector<std::string> trace;

void record(void *arg) { trace.push_back(static_cast<const char *>(arg)); }

timespec at(int64_t sec, int64_t nsec) { return timespec{(time_t)sec, (long)nsec}; }

// The daemon never destroys an instance; the tests do, for the leak checker.
class Evm : public ::testing::Test {
protected:
	std::vector<evm *> made;

	void SetUp() override { trace.clear(); }
	void TearDown() override
	{
		for (evm *e : made) {
			if (e->queue >= 0)
				close(e->queue);
			free(e->fds);
			free(e->events);
			free(e->timers);
			free(e);
		}
	}
	evm *make(int fds, int timers) { return made.emplace_back(evm_create(fds, timers)); }
};

TEST_F(Evm, MsLeftRoundsDown)
{
	evm_timer t{10, 500000, nullptr, nullptr};
	timespec before = at(10, 0);	   // 0.5 ms before expiry
	timespec after = at(10, 1000000);  // 0.5 ms after
	timespec wrap = at(9, 999000000);  // 1.5 ms before, across a second
	EXPECT_EQ(evm_ms_left(&t, &before), 0);
	EXPECT_EQ(evm_ms_left(&t, &after), -1);
	EXPECT_EQ(evm_ms_left(&t, &wrap), 1);
}

TEST_F(Evm, EqualExpiriesRunInArmingOrder)
{
	evm *e = make(1, 8);
	timespec now = at(100, 999500000);
	char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
	evm_add_timer_at(e, &now, 1000, record, a);
	evm_add_timer_at(e, &now, 1000, record, b);
	evm_add_timer_at(e, &now, 500, record, c); // later armed, earlier expiry
	evm_add_timer_at(e, &now, 1000, record, d);
	// Nanoseconds carry into the seconds.
	EXPECT_EQ(e->timers[0].expiry_sec, 101);
	EXPECT_EQ(e->timers[0].expiry_nsec, 499500000);
	timespec later = at(102, 0);
	evm_run_due(e, &later);
	EXPECT_EQ(trace, (std::vector<std::string>{"c", "a", "b", "d"}));
	EXPECT_EQ(e->timer_count, 0);
}

TEST_F(Evm, TimerHalfAMillisecondAwayIsDue)
{
	evm *e = make(1, 4);
	timespec now = at(5, 0);
	char a[] = "a", b[] = "b";
	evm_add_timer_at(e, &now, 10, record, a);
	evm_add_timer_at(e, &now, 11, record, b);
	timespec pass = at(5, 9500000); // 0.5 ms before a, 1.5 ms before b
	evm_run_due(e, &pass);
	EXPECT_EQ(trace, (std::vector<std::string>{"a"}));
	EXPECT_EQ(e->timer_count, 1);
}

evm *rearm_evm;
timespec rearm_now;
int rearm_runs;
uint32_t rearm_delay;

void rearm(void *)
{
	rearm_runs++;
	if (rearm_runs < 5)
		evm_add_timer_at(rearm_evm, &rearm_now, rearm_delay, rearm, nullptr);
}

TEST_F(Evm, RearmedCallbackRunsAgainInPassOnlyWithDelayZero)
{
	rearm_evm = make(1, 4);
	rearm_now = at(1, 0);
	rearm_delay = 1;
	rearm_runs = 0;
	evm_add_timer_at(rearm_evm, &rearm_now, 0, rearm, nullptr);
	evm_run_due(rearm_evm, &rearm_now);
	EXPECT_EQ(rearm_runs, 1);
	EXPECT_EQ(rearm_evm->timer_count, 1);

	rearm_delay = 0;
	rearm_runs = 0;
	evm_del_timer(rearm_evm, rearm, nullptr);
	evm_add_timer_at(rearm_evm, &rearm_now, 0, rearm, nullptr);
	evm_run_due(rearm_evm, &rearm_now);
	EXPECT_EQ(rearm_runs, 5);
}

TEST_F(Evm, CancelRemovesOnlyTheEarlierOfAPairArmedTwice)
{
	evm *e = make(1, 4);
	timespec now = at(1, 0);
	char a[] = "a", other[] = "other";
	evm_add_timer_at(e, &now, 200, record, a);
	evm_add_timer_at(e, &now, 100, record, a);
	evm_add_timer_at(e, &now, 150, record, other);
	evm_del_timer(e, record, other + 1); // not pending: nothing changes
	EXPECT_EQ(e->timer_count, 3);
	evm_del_timer(e, record, a);
	ASSERT_EQ(e->timer_count, 2);
	EXPECT_EQ(e->timers[0].arg, other);
	EXPECT_EQ(e->timers[1].arg, a);
	EXPECT_EQ(e->timers[1].expiry_nsec, 200000000);
	EXPECT_EQ(evm_find_timer(e, record, a), &e->timers[1]);
}

TEST_F(Evm, FullTimerTableWarnsAndArmsNothing)
{
	evm *none = make(1, 0);
	testing::internal::CaptureStderr();
	evm_add_timer(none, 10, record, nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "evm_add_timer: Number of timers (0) exceeded\n");
	EXPECT_EQ(none->timer_count, 0);

	evm *two = make(1, 2);
	timespec now = at(1, 0);
	char a[] = "a", b[] = "b", c[] = "c";
	evm_add_timer_at(two, &now, 5, record, a);
	evm_add_timer_at(two, &now, 9, record, b);
	testing::internal::CaptureStderr();
	evm_add_timer_at(two, &now, 1, record, c);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "evm_add_timer: Number of timers (2) exceeded\n");
	ASSERT_EQ(two->timer_count, 2);
	EXPECT_EQ(two->timers[0].arg, a);
	EXPECT_EQ(two->timers[1].arg, b);
}

TEST_F(Evm, WaitTimeout)
{
	evm *e = make(1, 4);
	timespec now = at(1, 0);
	EXPECT_EQ(evm_wait_timeout_ms(e, &now), -1); // nothing pending: no timeout
	evm_add_timer_at(e, &now, 0, record, nullptr);
	EXPECT_EQ(evm_wait_timeout_ms(e, &now), 1); // due already: still 1 ms
	timespec late = at(3, 0);
	EXPECT_EQ(evm_wait_timeout_ms(e, &late), 1);
	evm_del_timer(e, record, nullptr);
	evm_add_timer_at(e, &now, 2500, record, nullptr);
	EXPECT_EQ(evm_wait_timeout_ms(e, &now), 2500);
}

TEST_F(Evm, DescriptorCapacityIsFatal)
{
	EXPECT_EXIT(
		{
			evm *e = evm_create(1, 0);
			int p[2];
			if (pipe(p) != 0)
				_exit(2);
			evm_add_fd(e, p[0], record, nullptr);
			evm_add_fd(e, p[1], record, nullptr);
		},
		testing::ExitedWithCode(1), "^evm_add_fd: Number of FDs \\(1\\) exceeded\\.\n$");
}

struct pipe_reader {
	int fd;
	int calls;
};

void read_one(void *arg)
{
	auto *r = static_cast<pipe_reader *>(arg);
	char c;
	if (read(r->fd, &c, 1) == 1)
		trace.push_back(std::string("fd:") + c);
	r->calls++;
}

TEST_F(Evm, ReadinessIsLevelTriggeredAndComesBeforeTimers)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	evm *e = make(1, 2);
	pipe_reader r{p[0], 0};
	evm_add_fd(e, p[0], read_one, &r);
	ASSERT_EQ(write(p[1], "xy", 2), 2);
	char t[] = "timer";
	evm_add_timer(e, 0, record, t);
	evm_run_once(e); // one byte per readiness event, then the due timer
	EXPECT_EQ(trace, (std::vector<std::string>{"fd:x", "timer"}));
	evm_run_once(e); // still readable: reported again
	EXPECT_EQ(trace, (std::vector<std::string>{"fd:x", "timer", "fd:y"}));
}

TEST_F(Evm, DelayZeroTimerRunsAfterAtLeastOneMillisecond)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	evm *e = make(1, 1);
	pipe_reader r{p[0], 0};
	evm_add_fd(e, p[0], read_one, &r);
	char t[] = "zero";
	timespec start, end;
	clock_gettime(CLOCK_MONOTONIC, &start);
	evm_add_timer(e, 0, record, t);
	evm_run_once(e);
	clock_gettime(CLOCK_MONOTONIC, &end);
	EXPECT_EQ(trace, (std::vector<std::string>{"zero"}));
	int64_t us = (end.tv_sec - start.tv_sec) * 1000000 + (end.tv_nsec - start.tv_nsec) / 1000;
	EXPECT_GE(us, 1000);
}

void on_usr1(int) {}

void *poke(void *arg)
{
	usleep(50000);
	pthread_kill(*static_cast<pthread_t *>(arg), SIGUSR1);
	return nullptr;
}

TEST_F(Evm, InterruptedWaitIsSilent)
{
	struct sigaction sa {};
	sa.sa_handler = on_usr1;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGUSR1, &sa, nullptr);
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	evm *e = make(1, 0);
	pipe_reader r{p[0], 0};
	evm_add_fd(e, p[0], read_one, &r);
	pthread_t self = pthread_self(), th;
	pthread_create(&th, nullptr, poke, &self);
	testing::internal::CaptureStderr();
	evm_run_once(e); // no timers: only the signal ends this wait
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	pthread_join(th, nullptr);
	EXPECT_EQ(r.calls, 0);
}

} // namespace
