// The process id file: taken and locked before detaching, written by the
// process that keeps running, removed on an orderly stop.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/core.h"

static int pidfile_fd = -1;

void pidfile_take(const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd >= 0) {
		if (flock(fd, LOCK_EX | LOCK_NB) < 0)
			log_fatal("lock of pid file %s failed: %s\n", path, strerror(errno));
		pidfile_fd = fd;
		return;
	}
	fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		log_fatal("create/open of pid file %s failed: %s\n", path, strerror(errno));
	// The lock guards the start-up window of another instance.
	if (flock(fd, LOCK_EX | LOCK_NB) < 0)
		log_fatal("pid file %s is in use by another process\n", path);
	char buf[64];
	ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
	if (n > 0) {
		buf[n] = '\0';
		long v = strtol(buf, nullptr, 10);
		// The id is a 32-bit signed value; anything outside is not a live process.
		int32_t pid = (v > INT32_MAX || v < INT32_MIN) ? 0 : (int32_t)v;
		if (pid > 0 && kill((pid_t)pid, 0) == 0)
			log_fatal("pid file %s is in use by process %u\n", path, (unsigned)pid);
	}
	(void)lseek(fd, 0, SEEK_SET);
	if (ftruncate(fd, 0) < 0)
		log_fatal("write of pid file %s failed: %s\n", path, strerror(errno));
	pidfile_fd = fd;
}

void pidfile_write(const char *path)
{
	char buf[64];
	int n = snprintf(buf, sizeof buf, "%u\n", (unsigned)getpid());
	if (n < 0 || n >= (int)sizeof buf)
		log_fatal("error formatting pidfile\n");
	if (pwrite(pidfile_fd, buf, (size_t)n, 0) < 0)
		log_fatal("write of pidfile %s failed: %s\n", path, strerror(errno));
	// Closing drops the lock: from here on only the live-process probe
	// keeps a second instance out.
	if (close(pidfile_fd) < 0)
		log_fatal("close of pidfile %s failed: %s\n", path, strerror(errno));
	pidfile_fd = -1;
}
