// Command-line settings and the parsers of their arguments.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "core/core.h"

const char *config_file = "ostrel.conf";
const char *pid_file;
bool foreground;
bool use_syslog;
uint32_t debug_level;
const char *program_name = "ostrel";

std::atomic<uint32_t> stop_requested;
std::atomic<int> stop_signal;

uint32_t parse_debug_level(const char *text)
{
	// strtoul semantics, no error: "3x" is 3, "x" is 0; kept in 32 bits.
	return (uint32_t)strtoul(text, nullptr, 10);
}

bool parse_querier_mode(const char *word, uint32_t *mode)
{
	static const char *const words[] = {"never", "quick", "delay", "defer"};
	for (uint32_t i = 0; i < 4; i++) {
		if (strcmp(word, words[i]) == 0) {
			*mode = i;
			return true;
		}
	}
	return false;
}

void print_usage()
{
	fprintf(stderr, "Usage:\n");
	fprintf(stderr,
		"  %s [-h] [-f] [-s] [-c config_file] [-p pid_file] [-I IGMP_querier_mode] "
		"[-M MLD_querier_mode] [-D debug_level]\n",
		program_name);
	fputs("  Options:\n"
	      "    -h display usage\n"
	      "    -f run in foreground\n"
	      "    -s log notifications via syslog\n"
	      "    -c configuration file name\n"
	      "    -p process id file name\n"
	      "    -I IGMP querier mode\n"
	      "    -M MLD querier mode\n"
	      "    -D debug level\n"
	      "\n"
	      "  Available IGMP/MLD querier modes:\n"
	      "    never  Never become a querier\n"
	      "    quick  Become a querier immediately at startup (default, RFC behavior)\n"
	      "    delay  Become a querier after 125 seconds if no other querier has been seen\n"
	      "    defer  Become a querier after 125 seconds if no other querier has been seen\n"
	      "           and always defer to any other queriers that may appear regardless of\n"
	      "           relative IP address\n",
	      stderr);
	exit(1);
}

void stop_signal_handler(int sig)
{
	// Only two stores: the first signal decides the number that is logged.
	if (stop_requested.load(std::memory_order_relaxed))
		return;
	stop_signal.store(sig, std::memory_order_relaxed);
	stop_requested.store(1, std::memory_order_release);
}
