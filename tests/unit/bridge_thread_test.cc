// The forwarding step: the arrival interface from the control data, the
// copy rules, send failures and the per-copy message. The "interfaces" are
// UDP sockets on loopback, each bound to its own port, and the bridge's
// destination is a loopback address, so one catcher socket sees every copy
// and tells the sending interface by the source port.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <net/if.h>
#ifndef __linux__
#include <net/if_dl.h>
#endif
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/bridge_os.h"
#include "core/core.h"

namespace {

// --- control-message parsing -------------------------------------------

struct control {
	alignas(cmsghdr) uint8_t buf[272]{};
	size_t used = 0;

	void add(int level, int type, const void *data, size_t len)
	{
		auto *c = reinterpret_cast<cmsghdr *>(buf + used);
		c->cmsg_level = level;
		c->cmsg_type = type;
		c->cmsg_len = CMSG_LEN(len);
		memcpy(CMSG_DATA(c), data, len);
		used += CMSG_SPACE(len);
	}
	// The arrival interface as this system reports it for IPv4.
	void add_pktinfo4(int index)
	{
#ifdef __linux__
		in_pktinfo info{};
		info.ipi_ifindex = index;
		add(IPPROTO_IP, IP_PKTINFO, &info, sizeof info);
#else
		sockaddr_dl dl{};
		dl.sdl_len = sizeof dl;
		dl.sdl_family = AF_LINK;
		dl.sdl_index = (uint16_t)index;
		add(IPPROTO_IP, IP_RECVIF, &dl, sizeof dl);
#endif
	}
	static constexpr int v4_level = IPPROTO_IP;
#ifdef __linux__
	static constexpr int v4_type = IP_PKTINFO;
#else
	static constexpr int v4_type = IP_RECVIF;
#endif
	void add_pktinfo6(unsigned index)
	{
		in6_pktinfo info{};
		info.ipi6_ifindex = index;
		add(IPPROTO_IPV6, IPV6_PKTINFO, &info, sizeof info);
	}
	msghdr msg(size_t len)
	{
		msghdr m{};
		m.msg_control = buf;
		m.msg_controllen = len;
		return m;
	}
	msghdr msg() { return msg(used); }
};

TEST(BridgeArrivalIndex, FoundInControlData)
{
	control c;
	int ttl = 64;
	c.add(IPPROTO_IP, IP_TTL, &ttl, sizeof ttl); // not the one: walked past
	c.add_pktinfo4(7);
	c.add_pktinfo4(9); // only the first counts
	msghdr m = c.msg();
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET), 7u);
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET6), 0u); // wrong level for IPv6

	control c6;
	c6.add_pktinfo4(3);
	c6.add_pktinfo6(12);
	m = c6.msg();
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET6), 12u);
}

TEST(BridgeArrivalIndex, AbsentOrDamaged)
{
	control none;
	msghdr m = none.msg();
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET), 0u);

	// The kernel cut the control data short of the message's end.
	control cut;
	cut.add_pktinfo4(7);
	m = cut.msg(cut.used - 8);
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET), 0u);

	// Returned length shorter than one header.
	m = cut.msg(sizeof(cmsghdr) - 1);
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET), 0u);

	// A message that claims to be pktinfo but is too short to hold one.
	control tiny;
	uint32_t four = 7;
	tiny.add(control::v4_level, control::v4_type, &four, sizeof four);
	m = tiny.msg();
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET), 0u);
	control tiny6;
	tiny6.add(IPPROTO_IPV6, IPV6_PKTINFO, &four, sizeof four);
	m = tiny6.msg();
	EXPECT_EQ(bridge_os_arrival_index(&m, AF_INET6), 0u);

	// No control buffer at all.
	msghdr bare{};
	bare.msg_controllen = 64;
	EXPECT_EQ(bridge_os_arrival_index(&bare, AF_INET), 0u);
}

// --- forwarding ----------------------------------------------------------

constexpr uint16_t test_port = 5000;

int udp_socket(int family, uint16_t *port)
{
	int fd = socket(family, SOCK_DGRAM, 0);
	if (family == AF_INET) {
		sockaddr_in sin{};
		sin.sin_family = AF_INET;
		sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
	} else {
		sockaddr_in6 sin6{};
		sin6.sin6_family = AF_INET6;
		sin6.sin6_addr = in6addr_loopback;
		bind(fd, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6);
	}
	sockaddr_storage ss{};
	socklen_t len = sizeof ss;
	getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
	*port = ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port); // same offset in v6
	return fd;
}

struct forwarding : ::testing::TestWithParam<int> {
	int family = GetParam();
	bridge b{};
	bridge_interface ifs[3]{};
	uint16_t ports[3]{};
	int catcher = -1;
	std::unique_ptr<bridge_thread_ctx> ctx{new bridge_thread_ctx{}};
	control cmsg;

	void SetUp() override
	{
		uint16_t catcher_port;
		catcher = udp_socket(family, &catcher_port);
		fcntl(catcher, F_SETFL, O_NONBLOCK);
		b.family = (uint16_t)family;
		b.port = test_port;
		if (family == AF_INET) {
			auto *d = reinterpret_cast<sockaddr_in *>(&b.destination);
			d->sin_family = AF_INET;
			d->sin_port = htons(catcher_port);
			d->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
			b.destination_length = sizeof(sockaddr_in);
		} else {
			auto *d = reinterpret_cast<sockaddr_in6 *>(&b.destination);
			d->sin6_family = AF_INET6;
			d->sin6_port = htons(catcher_port);
			d->sin6_addr = in6addr_loopback;
			b.destination_length = sizeof(sockaddr_in6);
		}
		static const char *const names[] = {"a", "b", "c"};
		for (int k = 0; k < 3; k++) {
			ifs[k].name = names[k];
			ifs[k].ifindex = 11 + (uint32_t)k;
			ifs[k].socket = udp_socket(family, &ports[k]);
			ifs[k].inbound_active = 1;
			ifs[k].outbound_active = 1;
		}
		b.interfaces = ifs;
		b.interface_count = 3;
		bridges = &b;
		bridge_count = 1;
		bridge_thread_ctx_init(ctx.get(), &b);
		memcpy(ctx->buffer, "hello", 5);
		sockaddr_in from{};
		from.sin_family = AF_INET;
		inet_pton(AF_INET, "10.1.2.3", &from.sin_addr);
		memcpy(ctx->source, &from, sizeof from);
		debug_level = 0;
	}
	void TearDown() override
	{
		for (auto &i : ifs)
			if (i.socket >= 0)
				close(i.socket);
		close(catcher);
		bridges = nullptr;
		bridge_count = 0;
		debug_level = 0;
	}

	// Forward with the given arrival index (0: no control message).
	void forward(unsigned index, size_t length = 5, int rx = 0)
	{
		cmsg = control{};
		if (index != 0) {
			if (family == AF_INET)
				cmsg.add_pktinfo4((int)index);
			else
				cmsg.add_pktinfo6(index);
		}
		ctx->msg.msg_controllen = cmsg.used;
		memcpy(ctx->control, cmsg.buf, sizeof ctx->control);
		bridge_forward(ctx.get(), &ifs[rx], length);
	}

	// Names of the interfaces whose copies reached the catcher, in order.
	std::string copies(std::vector<size_t> *lengths = nullptr)
	{
		std::string out;
		static uint8_t buf[65536];
		for (;;) {
			pollfd p{catcher, POLLIN, 0};
			if (poll(&p, 1, 100) != 1)
				return out;
			sockaddr_storage ss{};
			socklen_t len = sizeof ss;
			ssize_t n = recvfrom(catcher, buf, sizeof buf, 0,
					     reinterpret_cast<sockaddr *>(&ss), &len);
			if (n < 0)
				return out;
			if (lengths != nullptr)
				lengths->push_back((size_t)n);
			uint16_t port = ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
			for (int k = 0; k < 3; k++)
				if (ports[k] == port)
					out += ifs[k].name;
		}
	}
};

TEST_P(forwarding, CopyRules)
{
	struct rule {
		const char *what;
		unsigned index;
		uint32_t in[3], out[3];
		const char *copies;
	};
	const rule rules[] = {
		{"arrival on the receiving interface", 11, {1, 1, 1}, {1, 1, 1}, "bc"},
		{"never back out of the arrival interface", 12, {1, 1, 1}, {1, 1, 1}, "ac"},
		{"index of another interface: its inbound flag decides", 13, {1, 1, 0},
		 {1, 1, 1}, ""},
		{"arrival interface not receiving", 11, {0, 1, 1}, {1, 1, 1}, ""},
		{"inactive targets get nothing", 11, {1, 1, 1}, {1, 0, 1}, "c"},
		{"index of no interface of the bridge", 99, {1, 1, 1}, {1, 1, 1}, ""},
		{"no arrival control message", 0, {1, 1, 1}, {1, 1, 1}, ""},
	};
	for (const rule &r : rules) {
		for (int k = 0; k < 3; k++) {
			ifs[k].inbound_active = r.in[k];
			ifs[k].outbound_active = r.out[k];
		}
		forward(r.index);
		EXPECT_EQ(copies(), r.copies) << r.what;
	}
}

TEST_P(forwarding, SendFailureSparesTheOtherTargets)
{
	close(ifs[1].socket);
	ifs[1].socket = -1;
	testing::internal::CaptureStderr();
	forward(11);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(copies(), "c");
	EXPECT_EQ(err, std::string("Bridge(") + (family == AF_INET ? "IPv4" : "IPv6") +
			       "/5000): sendto error on interface b: Bad file descriptor\n");
}

TEST_P(forwarding, ForwardedMessageFromLevel4)
{
	const char *fam = family == AF_INET ? "IPv4" : "IPv6";
	if (family == AF_INET6) {
		sockaddr_in6 from{};
		from.sin6_family = AF_INET6;
		inet_pton(AF_INET6, "fd00::1:2", &from.sin6_addr);
		memcpy(ctx->source, &from, sizeof from);
	}
	const char *sender = family == AF_INET ? "10.1.2.3" : "fd00::1:2";
	debug_level = 3;
	testing::internal::CaptureStderr();
	forward(11);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_EQ(copies(), "bc");

	debug_level = 4;
	close(ifs[2].socket); // a failed copy gets no "Forwarded" line
	ifs[2].socket = -1;
	testing::internal::CaptureStderr();
	forward(11);
	std::string err = testing::internal::GetCapturedStderr();
	char want[256];
	snprintf(want, sizeof want,
		 "Bridge(%s/5000): Forwarded 5 bytes from %s on a to b\n"
		 "Bridge(%s/5000): sendto error on interface c: Bad file descriptor\n",
		 fam, sender, fam);
	// Not in the foreground: messages carry no time stamp.
	EXPECT_EQ(err, want);
}

TEST_P(forwarding, LargestDatagramWhole)
{
	// The largest UDP payload that loopback carries in one datagram.
	size_t largest = family == AF_INET ? 65507 : 65527;
	for (size_t k = 0; k < largest; k++)
		ctx->buffer[k] = (uint8_t)(k * 7 + 1);
	ifs[2].outbound_active = 0;
	forward(11, largest);
	std::vector<size_t> lengths;
	EXPECT_EQ(copies(&lengths), "b");
	EXPECT_EQ(lengths, std::vector<size_t>{largest});
}

TEST(BridgeForwardIPv6, ScopeIsTheOutboundInterface)
{
	// Checked through the destination left behind by the last send.
	bridge b{};
	bridge_interface ifs[2]{};
	b.family = AF_INET6;
	b.port = test_port;
	auto *d = reinterpret_cast<sockaddr_in6 *>(&b.destination);
	d->sin6_family = AF_INET6;
	d->sin6_port = htons(9); // discard: nobody listens, the send still succeeds
	d->sin6_addr = in6addr_loopback;
	b.destination_length = sizeof(sockaddr_in6);
	uint16_t unused;
	for (int k = 0; k < 2; k++) {
		ifs[k].name = k ? "y" : "x";
		ifs[k].ifindex = 21 + (uint32_t)k;
		ifs[k].socket = udp_socket(AF_INET6, &unused);
		ifs[k].inbound_active = 1;
		ifs[k].outbound_active = 1;
	}
	b.interfaces = ifs;
	b.interface_count = 2;
	bridges = &b;
	bridge_count = 1;
	auto ctx = std::make_unique<bridge_thread_ctx>();
	bridge_thread_ctx_init(ctx.get(), &b);
	for (int arrival = 0; arrival < 2; arrival++) {
		control c;
		c.add_pktinfo6(ifs[arrival].ifindex);
		memcpy(ctx->control, c.buf, sizeof ctx->control);
		ctx->msg.msg_controllen = c.used;
		bridge_forward(ctx.get(), &ifs[0], 1);
		EXPECT_EQ(d->sin6_scope_id, ifs[1 - arrival].ifindex);
	}
	for (auto &i : ifs)
		close(i.socket);
	bridges = nullptr;
	bridge_count = 0;
}

INSTANTIATE_TEST_SUITE_P(Families, forwarding, ::testing::Values(AF_INET, AF_INET6),
			 [](const auto &info) {
				 return std::string(info.param == AF_INET ? "IPv4" : "IPv6");
			 });

// --- the receive callback ------------------------------------------------

TEST(BridgeReceive, ReadsOneDatagramWithItsArrivalInterface)
{
	ASSERT_EQ(pthread_key_create(&bridge_thread_key, nullptr), 0);
	bridge b{};
	bridge_interface ifs[2]{};
	uint16_t rx_port, tx_port, catcher_port;
	int catcher = udp_socket(AF_INET, &catcher_port);
	fcntl(catcher, F_SETFL, O_NONBLOCK);
	b.family = AF_INET;
	b.port = test_port;
	auto *d = reinterpret_cast<sockaddr_in *>(&b.destination);
	d->sin_family = AF_INET;
	d->sin_port = htons(catcher_port);
	d->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	b.destination_length = sizeof(sockaddr_in);
	ifs[0].name = "rx";
	ifs[0].ifindex = if_nametoindex("lo");
	ifs[0].socket = udp_socket(AF_INET, &rx_port);
	const char *option;
	ASSERT_EQ(bridge_os_arrival_on(ifs[0].socket, AF_INET, &option), 0);
	fcntl(ifs[0].socket, F_SETFL, O_NONBLOCK);
	ifs[0].inbound_active = 1;
	ifs[1].name = "tx";
	ifs[1].ifindex = 999;
	ifs[1].socket = udp_socket(AF_INET, &tx_port);
	ifs[1].outbound_active = 1;
	b.interfaces = ifs;
	b.interface_count = 2;
	bridges = &b;
	bridge_count = 1;
	auto ctx = std::make_unique<bridge_thread_ctx>();
	bridge_thread_ctx_init(ctx.get(), &b);

	// Without this thread's context the callback cannot go on.
	EXPECT_EXIT(bridge_receive(&ifs[0]), ::testing::ExitedWithCode(1),
		    "^pthread_getspecific failed\n$");
	ASSERT_EQ(pthread_setspecific(bridge_thread_key, ctx.get()), 0);

	// Nothing queued: EAGAIN, silent.
	testing::internal::CaptureStderr();
	bridge_receive(&ifs[0]);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

	sockaddr_in to{};
	to.sin_family = AF_INET;
	to.sin_port = htons(rx_port);
	to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	int sender = socket(AF_INET, SOCK_DGRAM, 0);
	for (const char *text : {"one", "second"})
		sendto(sender, text, strlen(text), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
	usleep(10000);
	for (const char *text : {"one", "second"}) {
		bridge_receive(&ifs[0]); // one datagram per call
		char buf[16] = {};
		pollfd p{catcher, POLLIN, 0};
		ASSERT_EQ(poll(&p, 1, 1000), 1);
		EXPECT_EQ(recv(catcher, buf, sizeof buf, 0), (ssize_t)strlen(text));
		EXPECT_STREQ(buf, text);
	}
	EXPECT_EQ(recv(catcher, nullptr, 0, MSG_DONTWAIT), -1);

	close(sender);
	close(catcher);
	for (auto &i : ifs)
		close(i.socket);
	bridges = nullptr;
	bridge_count = 0;
}

} // namespace
