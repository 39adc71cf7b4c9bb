// Traffic for the forwarding benchmark: a paced multicast sender and a
// counting receiver. Each payload carries a run id, a sequence number and
// the send time on CLOCK_MONOTONIC, which all namespaces of one host share,
// so the receiver measures one-way latency directly.
//
//   blast send IFADDR GROUP PORT SIZE RATE SECONDS RUN
//   blast recv GROUP PORT SECONDS RUN DEV [DEV...]
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

static int64_t now_ns()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

struct stamp {
	uint32_t run;
	uint32_t seq;
	int64_t sent_ns;
};

static int do_send(char **argv)
{
	const char *ifaddr = argv[0], *group = argv[1];
	int port = atoi(argv[2]), size = atoi(argv[3]);
	double rate = atof(argv[4]), seconds = atof(argv[5]);
	uint32_t run = (uint32_t)atoi(argv[6]);
	prctl(PR_SET_TIMERSLACK, 1UL);
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	in_addr a;
	inet_pton(AF_INET, ifaddr, &a);
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
	int ttl = 4, zero = 0, sndbuf = 4 << 20;
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof zero);
	setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
	sockaddr_in to{};
	to.sin_family = AF_INET;
	to.sin_port = htons((uint16_t)port);
	inet_pton(AF_INET, group, &to.sin_addr);
	std::vector<uint8_t> buf((size_t)std::max(size, (int)sizeof(stamp)), 0x5a);
	int64_t start = now_ns(), end = start + (int64_t)(seconds * 1e9);
	double gap = 1e9 / rate;
	uint64_t sent = 0, failed = 0;
	for (;;) {
		int64_t t = now_ns();
		if (t >= end)
			break;
		// Catch up to the schedule; pacing is per datagram.
		uint64_t due = (uint64_t)((double)(t - start) / gap) + 1;
		if (sent >= due) {
			// Ahead of the schedule: sleep rather than spin, the
			// router needs the other core.
			int64_t next = start + (int64_t)((double)sent * gap);
			timespec ts{0, (long)std::max<int64_t>(next - t, 1000)};
			nanosleep(&ts, nullptr);
			continue;
		}
		stamp s{run, (uint32_t)sent, t};
		memcpy(buf.data(), &s, sizeof s);
		if (sendto(fd, buf.data(), (size_t)size, 0, reinterpret_cast<sockaddr *>(&to),
			   sizeof to) < 0)
			failed++;
		sent++;
	}
	printf("%llu %llu\n", (unsigned long long)(sent - failed), (unsigned long long)failed);
	return 0;
}

static int do_recv(int argc, char **argv)
{
	const char *group = argv[0];
	int port = atoi(argv[1]);
	double seconds = atof(argv[2]);
	uint32_t run = (uint32_t)atoi(argv[3]);
	std::vector<pollfd> fds;
	for (int k = 4; k < argc; k++) {
		int fd = socket(AF_INET, SOCK_DGRAM, 0);
		int one = 1, zero = 0, rcvbuf = 8 << 20;
		setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
		setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
		setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
		setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, argv[k], (socklen_t)strlen(argv[k]));
		sockaddr_in sin{};
		sin.sin_family = AF_INET;
		sin.sin_port = htons((uint16_t)port);
		if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0) {
			perror("bind");
			return 1;
		}
		ip_mreqn m{};
		inet_pton(AF_INET, group, &m.imr_multiaddr);
		m.imr_ifindex = (int)if_nametoindex(argv[k]);
		if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0) {
			perror("IP_ADD_MEMBERSHIP");
			return 1;
		}
		fds.push_back({fd, POLLIN, 0});
	}
	printf("READY\n");
	fflush(stdout);
	std::vector<int64_t> lat;
	lat.reserve(8 << 20);
	uint64_t count = 0;
	static uint8_t buf[65536];
	int64_t end = now_ns() + (int64_t)(seconds * 1e9);
	for (;;) {
		int64_t left = (end - now_ns()) / 1000000;
		if (left <= 0)
			break;
		if (poll(fds.data(), fds.size(), (int)left) <= 0)
			continue;
		for (auto &p : fds) {
			if (!(p.revents & POLLIN))
				continue;
			for (;;) {
				ssize_t n = recv(p.fd, buf, sizeof buf, MSG_DONTWAIT);
				if (n < (ssize_t)sizeof(stamp))
					break;
				int64_t t = now_ns();
				stamp s;
				memcpy(&s, buf, sizeof s);
				if (s.run != run)
					continue;
				count++;
				if (lat.size() < lat.capacity())
					lat.push_back(t - s.sent_ns);
			}
		}
	}
	std::sort(lat.begin(), lat.end());
	double med = lat.empty() ? 0 : (double)lat[lat.size() / 2] / 1000.0;
	double p99 = lat.empty() ? 0 : (double)lat[lat.size() * 99 / 100] / 1000.0;
	printf("%llu %.1f %.1f\n", (unsigned long long)count, med, p99);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc >= 9 && strcmp(argv[1], "send") == 0)
		return do_send(argv + 2);
	if (argc >= 7 && strcmp(argv[1], "recv") == 0)
		return do_recv(argc - 2, argv + 2);
	fprintf(stderr, "usage: blast send IFADDR GROUP PORT SIZE RATE SECONDS RUN\n"
			"       blast recv GROUP PORT SECONDS RUN DEV [DEV...]\n");
	return 2;
}
