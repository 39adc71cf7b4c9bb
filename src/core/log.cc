// log_warn and log_fatal: standard error or the system log, one write per message.
#include "core/core.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

void (*log_fatal_hook)();

static void log_write_stderr(bool stamp, const char *fmt, va_list ap)
{
	// Format into one buffer so a message is a single write(2): lines of
	// concurrent threads may interleave, but never inside a line.
	char buf[2048];
	size_t len = 0;
	if (stamp) {
		timespec now;
		clock_gettime(CLOCK_REALTIME, &now);
		int n = snprintf(buf, sizeof buf, "%ld.%06ld: ", (long)now.tv_sec,
				 (long)(now.tv_nsec / 1000));
		if (n > 0)
			len = (size_t)n;
	}
	va_list copy;
	va_copy(copy, ap);
	int n = vsnprintf(buf + len, sizeof buf - len, fmt, copy);
	va_end(copy);
	if (n < 0)
		return;
	if ((size_t)n >= sizeof buf - len) {
		// Too long for the buffer (only huge interface names get here).
		if (len)
			(void)!write(STDERR_FILENO, buf, len);
		vfprintf(stderr, fmt, ap);
		return;
	}
	len += (size_t)n;
	const char *p = buf;
	while (len > 0) {
		ssize_t w = write(STDERR_FILENO, p, len);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return;
		p += w;
		len -= (size_t)w;
	}
}

void log_warn(const char *fmt, ...)
{
	int saved = errno;
	va_list ap;
	va_start(ap, fmt);
	if (use_syslog)
		vsyslog(LOG_WARNING, fmt, ap);
	else
		log_write_stderr(foreground && debug_level != 0, fmt, ap);
	va_end(ap);
	errno = saved;
}

void log_fatal(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	if (use_syslog)
		vsyslog(LOG_ERR, fmt, ap);
	else
		log_write_stderr(false, fmt, ap);
	va_end(ap);
	if (log_fatal_hook != nullptr)
		log_fatal_hook();
	exit(1);
}
