// Daemon core: command-line settings, start-up, logging.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr const char *ostrel_version = "1.7.0";

// Set from the command line before any thread exists; read-only afterwards.
extern const char *config_file;
extern const char *pid_file;
extern bool foreground;
extern bool use_syslog;
extern uint32_t debug_level;
extern const char *program_name;

// Written by the signal handler, which may run on any thread.
extern std::atomic<uint32_t> stop_requested;
extern std::atomic<int> stop_signal;

// Debug levels: a message of level N is logged when debug_level >= N.
enum : uint32_t {
	log_level_activation = 1,
	log_level_state = 2,
	log_level_packet = 3,
	log_level_forward = 4,
};

[[gnu::format(printf, 1, 2)]] void log_warn(const char *fmt, ...);
[[noreturn, gnu::format(printf, 1, 2)]] void log_fatal(const char *fmt, ...);

// For fuzz harnesses only: called by log_fatal after the message instead of
// exit(1); it must not return (longjmp out). Null in the daemon.
extern void (*log_fatal_hook)();

// Command line and start-up pieces, exposed for the tests.
uint32_t parse_debug_level(const char *text);
bool parse_querier_mode(const char *word, uint32_t *mode);
[[noreturn]] void print_usage();
void pidfile_take(const char *path);
void pidfile_write(const char *path);
void stop_signal_handler(int sig);
