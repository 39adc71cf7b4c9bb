// Activation sequences and the socket set-up, on real sockets in a private
// network namespace with three veth links; group memberships are read back
// from the kernel (`ip maddr`), so a join or leave on the wrong socket or
// interface shows.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/bridge.h"
#include "core/core.h"

namespace {

bool lab_ready;

// Once per process: a network namespace of our own with links t-a, t-b, t-c.
struct lab_environment : ::testing::Environment {
	void SetUp() override
	{
#ifdef __linux__
		if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
			return;
		const char *cmd =
			"ip link set lo up && "
			"for x in a b c; do ip link add t-$x type veth peer name p-$x && "
			"sysctl -qw net.ipv6.conf.t-$x.accept_dad=0 && "
			"ip link set t-$x up && ip link set p-$x up; done && "
			"ip addr add 10.8.1.1/24 dev t-a && ip addr add 10.8.2.1/24 dev t-b && "
			"ip addr add 10.8.3.1/24 dev t-c";
		lab_ready = system(cmd) == 0;
#endif
	}
};
const auto *env = ::testing::AddGlobalTestEnvironment(new lab_environment);

bool joined(const char *dev, const char *group)
{
	std::string cmd = std::string("ip maddr show dev ") + dev;
	FILE *f = popen(cmd.c_str(), "r");
	char line[256];
	bool found = false;
	while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
		char kind[16], addr[64];
		if (sscanf(line, " %15s %63s", kind, addr) == 2 && strcmp(addr, group) == 0)
			found = true;
	}
	if (f != nullptr)
		pclose(f);
	return found;
}

struct activation : ::testing::TestWithParam<int> {
	int family = GetParam();
	const char *group = family == AF_INET ? "239.8.0.1" : "ff05::8:1";
	const char *fam = family == AF_INET ? "IPv4" : "IPv6";
	bridge b{};
	bridge_interface ifs[3]{};
	const char *devs[3] = {"t-a", "t-b", "t-c"};

	void SetUp() override
	{
		if (!lab_ready)
			GTEST_SKIP() << "needs root for a network namespace";
		b.family = (uint16_t)family;
		b.port = 5000;
		if (family == AF_INET) {
			auto *d = reinterpret_cast<sockaddr_in *>(&b.destination);
			d->sin_family = AF_INET;
			inet_pton(AF_INET, group, &d->sin_addr);
		} else {
			auto *d = reinterpret_cast<sockaddr_in6 *>(&b.destination);
			d->sin6_family = AF_INET6;
			inet_pton(AF_INET6, group, &d->sin6_addr);
		}
		for (int k = 0; k < 3; k++) {
			ifs[k].name = devs[k];
			ifs[k].ifindex = if_nametoindex(devs[k]);
			ifs[k].socket = socket(family, SOCK_DGRAM, 0);
			uint8_t a[4] = {10, 8, (uint8_t)(k + 1), 1};
			memcpy(ifs[k].ipv4_addr, a, 4);
			ifs[k].ipv6_link_local_addr[0] = 0xfe; // for the MLD registration
			ifs[k].ipv6_link_local_addr[1] = 0x80;
			ifs[k].ipv6_link_local_addr[15] = (uint8_t)(k + 1);
		}
		b.interfaces = ifs;
		b.interface_count = 3;
		bridges = &b;
		bridge_count = 1;
		debug_level = 1;
	}
	void TearDown() override
	{
		for (auto &i : ifs)
			if (i.socket >= 0)
				close(i.socket);
		bridges = nullptr;
		bridge_count = 0;
		debug_level = 0;
	}
	void modes(uint32_t in0, uint32_t out0, uint32_t in1, uint32_t out1, uint32_t in2,
		   uint32_t out2)
	{
		ifs[0].inbound_mode = in0, ifs[0].outbound_mode = out0;
		ifs[1].inbound_mode = in1, ifs[1].outbound_mode = out1;
		ifs[2].inbound_mode = in2, ifs[2].outbound_mode = out2;
	}
	// "a" for each interface whose group is joined in the kernel, and
	// whose flag says so: both must agree.
	std::string members()
	{
		std::string s;
		for (int k = 0; k < 3; k++) {
			bool kernel = joined(devs[k], group);
			EXPECT_EQ(kernel, ifs[k].inbound_active.load() == 1) << devs[k];
			if (kernel)
				s += (char)('a' + k);
		}
		return s;
	}
	std::string line(const char *fmt, const char *dev, const char *mode = nullptr)
	{
		char buf[256];
		snprintf(buf, sizeof buf, fmt, fam, dev, mode);
		return buf;
	}
};

TEST_P(activation, OneDynamicInboundTwoDynamicOutbound)
{
	modes(mode_dynamic, mode_none, mode_none, mode_dynamic, mode_none, mode_dynamic);
	testing::internal::CaptureStderr();
	bridge_activate_outbound(&ifs[1]);
	EXPECT_EQ(members(), "a");
	bridge_activate_outbound(&ifs[2]);
	EXPECT_EQ(members(), "a");
	bridge_deactivate_outbound(&ifs[1]);
	EXPECT_EQ(members(), "a"); // c still wants it
	bridge_deactivate_outbound(&ifs[2]);
	EXPECT_EQ(members(), "");
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  line("Bridge(%s/5000): Activating outbound interface %s (%s)\n", "t-b", "dynamic") +
			  line("Bridge(%s/5000): Activating inbound interface %s (%s)\n", "t-a",
			       "dynamic") +
			  line("Bridge(%s/5000): Activating outbound interface %s (%s)\n", "t-c",
			       "dynamic") +
			  line("Bridge(%s/5000): Deactivating outbound interface %s\n", "t-b") +
			  line("Bridge(%s/5000): Deactivating outbound interface %s\n", "t-c") +
			  line("Bridge(%s/5000): Deactivating inbound interface %s\n", "t-a"));
	EXPECT_EQ(ifs[1].outbound_active.load() + ifs[2].outbound_active.load(), 0u);
}

TEST_P(activation, OwnOutboundNeverCountsForOwnInbound)
{
	modes(mode_dynamic, mode_dynamic, mode_dynamic, mode_dynamic, mode_none, mode_none);
	bridge_activate_outbound(&ifs[0]);
	EXPECT_EQ(members(), "b");
	bridge_activate_outbound(&ifs[1]);
	EXPECT_EQ(members(), "ab");
	bridge_deactivate_outbound(&ifs[0]);
	EXPECT_EQ(members(), "a"); // b left: only b itself is active; a kept for b
	bridge_deactivate_outbound(&ifs[1]);
	EXPECT_EQ(members(), "");
}

TEST_P(activation, StaticAndForcedStayJoinedAndActive)
{
	modes(mode_forced, mode_none, mode_static, mode_static, mode_dynamic, mode_dynamic);
	bridge_activate_inbound(&ifs[0]);
	bridge_activate_inbound(&ifs[1]);
	bridge_activate_outbound(&ifs[1]); // joins c
	bridge_activate_outbound(&ifs[2]);
	EXPECT_EQ(members(), "abc");

	debug_level = 4;
	testing::internal::CaptureStderr();
	bridge_activate_outbound(&ifs[1]); // already active: nothing at all
	bridge_activate_inbound(&ifs[0]);
	bridge_deactivate_outbound(&ifs[0]); // not active: nothing, whatever the mode
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

	debug_level = 0;
	testing::internal::CaptureStderr();
	bridge_deactivate_outbound(&ifs[1]);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  line("Bridge(%s/5000): Deactivating non-dynamic outbound interface %s\n", "t-b"));
	EXPECT_EQ(ifs[1].outbound_active.load(), 1u);
	bridge_deactivate_outbound(&ifs[2]);
	EXPECT_EQ(members(), "abc"); // c still needed by b; a and b never left
}

TEST_P(activation, FailedJoinIsRetriedFailedLeaveStillCounts)
{
	const char *join = family == AF_INET ? "IP_ADD_MEMBERSHIP" : "IPV6_JOIN_GROUP";
	const char *leave = family == AF_INET ? "IP_DROP_MEMBERSHIP" : "IPV6_LEAVE_GROUP";
	modes(mode_dynamic, mode_none, mode_none, mode_dynamic, mode_none, mode_dynamic);
	int good = ifs[0].socket;
	ifs[0].socket = -1;
	debug_level = 0;
	testing::internal::CaptureStderr();
	bridge_activate_outbound(&ifs[1]);
	char want[256];
	snprintf(want, sizeof want,
		 "Bridge(%s/5000): setsockopt (%s) on interface t-a failed: Bad file descriptor\n",
		 fam, join);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), want);
	EXPECT_EQ(members(), "");

	ifs[0].socket = good;
	bridge_activate_outbound(&ifs[2]); // tries a again
	EXPECT_EQ(members(), "a");

	bridge_deactivate_outbound(&ifs[1]);
	ifs[0].socket = -1;
	testing::internal::CaptureStderr();
	bridge_deactivate_outbound(&ifs[2]);
	snprintf(want, sizeof want,
		 "Bridge(%s/5000): setsockopt (%s) on interface t-a failed: Bad file descriptor\n",
		 fam, leave);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), want);
	EXPECT_EQ(ifs[0].inbound_active.load(), 0u);
	ifs[0].socket = good;
}

// Start-up: every socket first, then the start-up state.
TEST_P(activation, OpenSocketsAndStartUpState)
{
	for (auto &i : ifs)
		close(i.socket);
	// a: static inbound only; b: static outbound only; c: dynamic both.
	modes(mode_static, mode_none, mode_none, mode_static, mode_dynamic, mode_dynamic);
	b.port = 5001;
	debug_level = 0;
	bridge_open_sockets();
	EXPECT_EQ(members(), "ac"); // b joins nothing; c joined by b's activation
	EXPECT_EQ(ifs[0].outbound_active.load(), 0u);
	EXPECT_EQ(ifs[1].outbound_active.load(), 1u);
	EXPECT_EQ(ifs[2].outbound_active.load(), 0u); // handed to the querier

	for (int k = 0; k < 3; k++) {
		int fd = ifs[k].socket;
		ASSERT_GE(fd, 0);
		EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
		sockaddr_storage ss{};
		socklen_t len = sizeof ss;
		getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
		EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port), 5001);
		auto get = [fd](int level, int option) {
			int v = -1;
			socklen_t l = sizeof v;
			getsockopt(fd, level, option, &v, &l);
			return v;
		};
		EXPECT_EQ(get(SOL_SOCKET, SO_REUSEADDR), 1);
		EXPECT_GE(get(SOL_SOCKET, SO_RCVBUF), 1 << 20);
		if (family == AF_INET) {
			EXPECT_EQ(get(IPPROTO_IP, IP_MULTICAST_TTL), 1);
			EXPECT_EQ(get(IPPROTO_IP, IP_MULTICAST_LOOP), 0);
#ifdef __linux__
			EXPECT_EQ(get(IPPROTO_IP, IP_PKTINFO), 1);
			EXPECT_EQ(get(IPPROTO_IP, IP_MULTICAST_ALL), 0);
			EXPECT_EQ(get(SOL_SOCKET, SO_REUSEPORT), 0); // see bridge_os_linux.cc
#endif
		} else {
			EXPECT_EQ(get(IPPROTO_IPV6, IPV6_V6ONLY), 1);
			EXPECT_EQ(get(IPPROTO_IPV6, IPV6_MULTICAST_HOPS), 1);
			EXPECT_EQ(get(IPPROTO_IPV6, IPV6_MULTICAST_LOOP), 0);
			EXPECT_EQ(get(IPPROTO_IPV6, IPV6_MULTICAST_IF), (int)ifs[k].ifindex);
			EXPECT_EQ(get(IPPROTO_IPV6, IPV6_RECVPKTINFO), 1);
			EXPECT_EQ(get(SOL_SOCKET, SO_REUSEPORT), 1);
#ifdef __linux__
			EXPECT_EQ(get(IPPROTO_IPV6, IPV6_MULTICAST_ALL), 0);
			EXPECT_EQ(get(SOL_SOCKET, SO_BINDTOIFINDEX), (int)ifs[k].ifindex);
#endif
		}
	}
}

TEST_P(activation, OpenSocketsFailureIsFatal)
{
	for (auto &i : ifs)
		close(i.socket);
	modes(mode_static, mode_none, mode_none, mode_static, mode_none, mode_none);
	b.interface_count = 2;
	// An address or index that no interface has.
	const uint8_t nowhere[4] = {10, 99, 99, 99};
	memcpy(ifs[1].ipv4_addr, nowhere, 4);
	ifs[1].ifindex = 999999;
	const char *want = family == AF_INET
		? "^setsockopt \\(IP_MULTICAST_IF\\) for IPv4 on t-b failed: Cannot assign requested address\n$"
		: "^setsockopt \\(IPV6_MULTICAST_IF\\) for IPv6 on t-b failed: No such device\n$";
	EXPECT_EXIT(bridge_open_sockets(), ::testing::ExitedWithCode(1), want);
	for (auto &i : ifs)
		i.socket = -1;
}

INSTANTIATE_TEST_SUITE_P(Families, activation, ::testing::Values(AF_INET, AF_INET6),
			 [](const auto &info) {
				 return std::string(info.param == AF_INET ? "IPv4" : "IPv6");
			 });

} // namespace
