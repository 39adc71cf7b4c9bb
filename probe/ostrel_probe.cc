// ostrel-probe: sends one datagram per second to a multicast group and port,
// or joins the group and prints every datagram that arrives, so that a
// bridge can be tried from both sides. Shares nothing with the daemon.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static const char *const default_group4 = "239.0.75.0";
static const char *const default_group6 = "ff05::7500";

struct probe_settings {
	int family = AF_INET;
	bool numeric = false;
	bool sender = false;
	const char *ifname = "(default)";
	unsigned ifindex = 0;
	unsigned port = 7500;
	int ttl = 1;
	const char *group_text = nullptr;
	in_addr group4{};
	in6_addr group6{};
};

[[noreturn, gnu::format(printf, 1, 2)]] static void fail(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	exit(1);
}

[[noreturn]] static void usage(const char *prog)
{
	fprintf(stderr,
		"Usage:\n"
		"  %s [-4|-6] [-n] [-s] [-i interface] [-p port] [-t ttl] [multicast address]\n"
		"\n"
		"  options:\n"
		"    -4 IP version 4 (default)\n"
		"    -6 IP version 6\n"
		"    -n numeric hostnames\n"
		"    -s sender mode\n"
		"    -i interface name (default is the system default interface)\n"
		"    -p UDP port (default is 7500)\n"
		"    -t Multicast TTL (default is 1)\n"
		"\n"
		"  the default multicast address for IP version 4 is %s\n"
		"  the default multicast address for IP version 6 is %s\n",
		prog, default_group4, default_group6);
	exit(1);
}

// A non-empty string of decimal digits whose value lies in [lo, hi].
static bool parse_number(const char *text, unsigned lo, unsigned hi, unsigned *value)
{
	if (*text == '\0')
		return false;
	unsigned long v = 0;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return false;
		v = v * 10 + (unsigned long)(*p - '0');
		if (v > hi) // also keeps long digit strings from overflowing
			return false;
	}
	if (v < lo)
		return false;
	*value = (unsigned)v;
	return true;
}

// Option processing stops at the first argument that is not an option (the
// group address), as with the BSD getopt; glibc's needs "+" not to permute.
#ifdef __GLIBC__
static const char option_string[] = "+h46nsi:p:t:";
#else
static const char option_string[] = "h46nsi:p:t:";
#endif

static void parse_command_line(int argc, char **argv, probe_settings *s)
{
	const char *prog = argv[0] != nullptr ? argv[0] : "ostrel-probe";
	unsigned value;
	int c;
	while ((c = getopt(argc, argv, option_string)) != -1) {
		switch (c) {
		case '4':
			s->family = AF_INET;
			break;
		case '6':
			s->family = AF_INET6;
			break;
		case 'n':
			s->numeric = true;
			break;
		case 's':
			s->sender = true;
			break;
		case 'i':
			s->ifindex = if_nametoindex(optarg);
			if (s->ifindex == 0)
				fail("Interface \"%s\" does not exist\n", optarg);
			s->ifname = optarg;
			break;
		case 'p':
			if (!parse_number(optarg, 1, 65535, &value))
				fail("Invalid port number \"%s\"\n", optarg);
			s->port = value;
			break;
		case 't':
			if (!parse_number(optarg, 1, 255, &value))
				fail("Invalid TTL value \"%s\"\n", optarg);
			s->ttl = (int)value;
			break;
		default: // -h, or getopt has already complained
			usage(prog);
		}
	}
	if (optind < argc)
		s->group_text = argv[optind];

	if (s->family == AF_INET) {
		if (s->group_text == nullptr)
			s->group_text = default_group4;
		if (inet_pton(AF_INET, s->group_text, &s->group4) != 1 ||
		    !IN_MULTICAST(ntohl(s->group4.s_addr)))
			fail("Invalid IPv4 multicast group address \"%s\"\n", s->group_text);
	} else {
		if (s->group_text == nullptr)
			s->group_text = default_group6;
		if (inet_pton(AF_INET6, s->group_text, &s->group6) != 1 ||
		    s->group6.s6_addr[0] != 0xff)
			fail("Invalid IPv6 address \"%s\"\n", s->group_text);
	}
}

static void set_int(int fd, int level, int option, int value, const char *fmt,
		    const char *ifname)
{
	if (setsockopt(fd, level, option, &value, sizeof value) < 0)
		fail(fmt, ifname, strerror(errno));
}

static int open_ipv4(const probe_settings *s)
{
	int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (fd < 0)
		fail("IPv4 socket creation failed: %s\n", strerror(errno));
	int one = 1;
	if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
		fail("setsockopt(SO_REUSEADDR) failed: %s\n", strerror(errno));
	if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) < 0)
		fail("setsockopt(SO_REUSEPORT) failed: %s\n", strerror(errno));
	if (s->ifindex != 0) {
		ip_mreqn mreq{};
		mreq.imr_ifindex = (int)s->ifindex;
		if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq, sizeof mreq) < 0)
			fail("setsockopt (IP_MULTICAST_IF) for IPv4 on %s failed: %s\n", s->ifname,
			     strerror(errno));
	}
	set_int(fd, IPPROTO_IP, IP_MULTICAST_TTL, s->ttl,
		"setsockopt (IP_MULTICAST_TTL) for IPv4 on %s failed: %s\n", s->ifname);
	sockaddr_in sin{};
	sin.sin_family = AF_INET;
	sin.sin_port = htons((uint16_t)s->port);
	sin.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
		fail("IPv4 bind on %s failed: %s\n", s->ifname, strerror(errno));
	if (!s->sender) {
		ip_mreqn mreq{};
		mreq.imr_multiaddr = s->group4;
		mreq.imr_ifindex = (int)s->ifindex;
		if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0)
			fail("setsockopt (IP_ADD_MEMBERSHIP) for IPv4 on %s failed: %s\n",
			     s->ifname, strerror(errno));
	}
	return fd;
}

static int open_ipv6(const probe_settings *s)
{
	int fd = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
	if (fd < 0)
		fail("IPv6 socket creation failed: %s\n", strerror(errno));
	int one = 1;
	if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0)
		fail("setsockopt (IPV6_V6ONLY) failed: %s\n", strerror(errno));
	if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
		fail("setsockopt(SO_REUSEADDR) failed: %s\n", strerror(errno));
	if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) < 0)
		fail("setsockopt(SO_REUSEPORT) failed: %s\n", strerror(errno));
	if (s->ifindex != 0)
		set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, (int)s->ifindex,
			"setsockopt (IPV6_MULTICAST_IF) for IPv6 on %s failed: %s\n", s->ifname);
	set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, s->ttl,
		"setsockopt (IPV6_MULTICAST_HOPS) for IPv6 on %s failed: %s\n", s->ifname);
	sockaddr_in6 sin6{};
	sin6.sin6_family = AF_INET6;
	sin6.sin6_port = htons((uint16_t)s->port);
	sin6.sin6_addr = in6addr_any;
	if (bind(fd, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6) < 0)
		fail("IPv6 bind on %s failed: %s\n", s->ifname, strerror(errno));
	if (!s->sender) {
		ipv6_mreq mreq{};
		mreq.ipv6mr_multiaddr = s->group6;
		mreq.ipv6mr_interface = s->ifindex;
		if (setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof mreq) < 0)
			fail("setsockopt (IPV6_JOIN_GROUP) for IPv6 on %s failed: %s\n", s->ifname,
			     strerror(errno));
	}
	return fd;
}

[[noreturn]] static void run_sender(int fd, const sockaddr *dest, socklen_t dest_len)
{
	char text[64];
	for (;;) {
		int n = snprintf(text, sizeof text, "%ld", (long)time(nullptr));
		size_t len = (size_t)n + 1; // the terminating zero byte goes too
		if (sendto(fd, text, len, 0, dest, dest_len) < 0)
			fail("sendto error: %s\n", strerror(errno));
		printf("Sent %d bytes: %s\n", (int)len, text);
		fflush(stdout);
		sleep(1);
	}
}

[[noreturn]] static void run_listener(int fd, bool numeric)
{
	char text[64];
	alignas(sockaddr_storage) unsigned char from[128];
	char host[1025];
	for (;;) {
		socklen_t from_len = sizeof from;
		ssize_t got = recvfrom(fd, text, sizeof text, 0,
				       reinterpret_cast<sockaddr *>(from), &from_len);
		if (got < 0)
			fail("recvfrom error: %s\n", strerror(errno));
		if (got < (ssize_t)sizeof text)
			text[got] = '\0';
		else
			text[sizeof text - 1] = '\0';
		if (getnameinfo(reinterpret_cast<sockaddr *>(from), from_len, host, sizeof host,
				nullptr, 0, numeric ? NI_NUMERICHOST : 0) != 0)
			snprintf(host, sizeof host, "[unknown]");
		printf("Received %ld bytes from %s: %s\n", (long)got, host, text);
		fflush(stdout);
	}
}

int main(int argc, char **argv)
{
	probe_settings s;
	parse_command_line(argc, argv, &s);

	sockaddr_storage dest{};
	socklen_t dest_len;
	if (s.family == AF_INET) {
		auto *sin = reinterpret_cast<sockaddr_in *>(&dest);
		sin->sin_family = AF_INET;
		sin->sin_port = htons((uint16_t)s.port);
		sin->sin_addr = s.group4;
		dest_len = sizeof(sockaddr_in);
	} else {
		auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&dest);
		sin6->sin6_family = AF_INET6;
		sin6->sin6_port = htons((uint16_t)s.port);
		sin6->sin6_flowinfo = 0;
		sin6->sin6_addr = s.group6;
		sin6->sin6_scope_id = s.ifindex;
		dest_len = sizeof(sockaddr_in6);
	}

	char group[INET6_ADDRSTRLEN];
	if (s.family == AF_INET)
		inet_ntop(AF_INET, &s.group4, group, sizeof group);
	else
		inet_ntop(AF_INET6, &s.group6, group, sizeof group);
	printf("%s to port %d and multicast group %s on interface %s (%d)\n",
	       s.sender ? "Sending" : "Listening", (int)s.port, group, s.ifname, (int)s.ifindex);
	fflush(stdout);

	int fd = s.family == AF_INET ? open_ipv4(&s) : open_ipv6(&s);
	if (s.sender)
		run_sender(fd, reinterpret_cast<sockaddr *>(&dest), dest_len);
	run_listener(fd, s.numeric);
}
