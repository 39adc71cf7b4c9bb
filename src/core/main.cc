// ostrel: the fixed start-up sequence, then a wait for SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "bridge/bridge.h"
#include "config/config.h"
#include "core/core.h"
#include "igmp/igmp.h"
#include "mld/mld.h"

// Options end at the first argument that is not one, as with the BSD
// getopt; glibc's would go on past it and permute unless told by "+".
#ifdef __GLIBC__
static const char option_string[] = "+hfsc:p:I:M:D:";
#else
static const char option_string[] = "hfsc:p:I:M:D:";
#endif

static void read_options(int argc, char **argv)
{
	int c;
	while ((c = getopt(argc, argv, option_string)) != -1) {
		switch (c) {
		case 'f':
			foreground = true;
			break;
		case 's':
			use_syslog = true;
			break;
		case 'c':
			config_file = optarg;
			break;
		case 'p':
			pid_file = optarg;
			break;
		case 'I':
		case 'M':
			if (!parse_querier_mode(optarg, c == 'I' ? &igmp_querier_mode
								 : &mld_querier_mode)) {
				// Written directly, also with -s; the text names IGMP for both.
				fprintf(stderr, "Unknown IGMP querier mode \"%s\"\n", optarg);
				print_usage();
			}
			break;
		case 'D':
			debug_level = parse_debug_level(optarg);
			break;
		default: // -h, an unknown option or a missing argument
			print_usage();
		}
	}
}

int main(int argc, char **argv)
{
	program_name = argv[0] != nullptr ? argv[0] : "ostrel";
	read_options(argc, argv);

	config_read();
	if (foreground)
		config_dump();
	bridge_open_sockets();

	struct sigaction sa {};
	sa.sa_handler = stop_signal_handler;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = 0;
	(void)sigaction(SIGTERM, &sa, nullptr);
	(void)sigaction(SIGINT, &sa, nullptr);

	if (pid_file != nullptr)
		pidfile_take(pid_file);
	if (!foreground) {
		pid_t pid = fork();
		if (pid < 0)
			log_fatal("fork failed: %s\n", strerror(errno));
		if (pid > 0)
			_exit(0);
		(void)setsid();
	}
	if (pid_file != nullptr)
		pidfile_write(pid_file);
	log_warn("Ostrel version %s starting\n", ostrel_version);

	igmp_setup(foreground);
	mld_setup(foreground);

	// All sockets and captures are open: give up what the real ids do not have.
	(void)!setgid(getgid());
	(void)!setuid(getuid());

	// Keep the stop signals for the main thread: every worker thread inherits
	// them blocked, and the wait takes them with sigsuspend, which also closes
	// the race between testing the flag and going to sleep. Until here the
	// handler runs as soon as a signal arrives, so the first one is logged.
	sigset_t stop_set, wait_set;
	sigemptyset(&stop_set);
	sigaddset(&stop_set, SIGTERM);
	sigaddset(&stop_set, SIGINT);
	pthread_sigmask(SIG_BLOCK, &stop_set, &wait_set);
	sigdelset(&wait_set, SIGTERM);
	sigdelset(&wait_set, SIGINT);

	igmp_start();
	mld_start();
	bridge_start_threads();

	while (!stop_requested.load(std::memory_order_acquire))
		sigsuspend(&wait_set);

	if (pid_file != nullptr)
		(void)unlink(pid_file);
	log_warn("exiting on signal %d\n", stop_signal.load(std::memory_order_relaxed));
	exit(0);
}
