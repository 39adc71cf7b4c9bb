// End-of-section checks and bridge creation on hand-built section records.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "core/core.h"

namespace {

struct iface_spec {
	const char *name;
	uint32_t in, out;
	const char *v4;  // selected IPv4 address or null
	const char *v6;  // selected IPv6 address or null
};

// Fills a section the way the reader and the interface lookup would.
void section(bridge_definition *d, uint16_t port, const char *g4, const char *g6,
	     std::initializer_list<iface_spec> ifs)
{
	memset(d, 0, sizeof *d);
	d->port = port;
	if (g4 != nullptr) {
		ASSERT_EQ(inet_pton(AF_INET, g4, d->ipv4_group), 1);
		d->has_ipv4_group = 1;
	}
	if (g6 != nullptr) {
		ASSERT_EQ(inet_pton(AF_INET6, g6, d->ipv6_group), 1);
		d->has_ipv6_group = 1;
	}
	for (const iface_spec &s : ifs) {
		interface_definition *e = &d->interfaces[d->interface_count++];
		e->name = strdup(s.name);
		e->ifindex = 10 + d->interface_count;
		e->inbound_mode = s.in;
		e->outbound_mode = s.out;
		e->hwaddr[0] = 0x02;
		e->hwaddr[5] = static_cast<uint8_t>(d->interface_count);
		if (s.v4 != nullptr) {
			ASSERT_EQ(inet_pton(AF_INET, s.v4, e->ipv4_addr), 1);
			e->has_ipv4 = 1;
		}
		if (s.v6 != nullptr) {
			ASSERT_EQ(inet_pton(AF_INET6, s.v6, e->ipv6_addr), 1);
			e->has_ipv6 = 1;
			inet_pton(AF_INET6, "fe80::1", e->ipv6_link_local_addr);
			e->ipv6_link_local_addr[15] = static_cast<uint8_t>(d->interface_count);
			e->has_ipv6_link_local = 1;
		}
	}
}

class ConfigBridge : public testing::Test {
protected:
	void SetUp() override { config_reset(); }
	void TearDown() override { config_reset(); }
	bridge_definition def;
};

constexpr uint32_t N = mode_none, D = mode_dynamic, S = mode_static, F = mode_forced;
const char *const a4 = "192.0.2.1";
const char *const a6 = "2001:db8::1";

struct check_case {
	const char *what;
	const char *g4, *g6;
	std::vector<iface_spec> ifs;
	const char *message;
};

void PrintTo(const check_case &c, std::ostream *os) { *os << c.what; }

class ConfigSectionCheck : public testing::TestWithParam<check_case> {};

TEST_P(ConfigSectionCheck, EndsWithExactMessage)
{
	const check_case &c = GetParam();
	bridge_definition d;
	memset(&d, 0, sizeof d);
	d.port = 5000;
	section(&d, 5000, c.g4, c.g6, {});
	for (const iface_spec &s : c.ifs) {
		bridge_definition one;
		section(&one, 5000, nullptr, nullptr, {s});
		d.interfaces[d.interface_count] = one.interfaces[0];
		d.interfaces[d.interface_count].ifindex = 20 + d.interface_count;
		d.interface_count++;
	}
	EXPECT_EXIT(config_end_section(&d), testing::ExitedWithCode(1),
		    testing::Matcher<const std::string &>(std::string(c.message)));
	for (uint32_t i = 0; i < d.interface_count; i++)
		free(d.interfaces[i].name);
}

const check_case check_cases[] = {
	{"no group", nullptr, nullptr, {{"em0", D, N, a4, a6}, {"em1", N, D, a4, a6}},
	 "Bridge 5000 does not have a multicast group address\n"},
	{"no interface", "239.1.1.1", nullptr, {},
	 "Bridge 5000 does not have any inbound interfaces\n"},
	{"only outbound", "239.1.1.1", nullptr, {{"em0", N, D, a4, a6}, {"em1", N, S, a4, a6}},
	 "Bridge 5000 does not have any inbound interfaces\n"},
	{"only inbound", "239.1.1.1", nullptr, {{"em0", D, N, a4, a6}, {"em1", S, N, a4, a6}},
	 "Bridge 5000 does not have any outbound interfaces\n"},
	{"single inbound also outbound", "239.1.1.1", nullptr,
	 {{"em0", D, D, a4, a6}, {"em1", N, D, a4, a6}},
	 "Bridge 5000 has a single inbound interface (em0) which is also declared as an outbound "
	 "interface\n"},
	{"single outbound also inbound", "239.1.1.1", nullptr,
	 {{"em0", D, N, a4, a6}, {"em1", S, S, a4, a6}},
	 "Bridge 5000 has a single outbound interface (em1) which is also declared as an inbound "
	 "interface\n"},
	{"IPv4 group, IPv6-only interfaces", "239.1.1.1", nullptr,
	 {{"em0", D, N, nullptr, a6}, {"em1", N, D, nullptr, a6}},
	 "Bridge 5000 has an IPv4 multicast group address, but does not have an IPv4 enabled "
	 "inbound interface\n"},
	{"IPv4 group, no IPv4 outbound", "239.1.1.1", nullptr,
	 {{"em0", D, N, a4, a6}, {"em1", N, D, nullptr, a6}},
	 "Bridge 5000 has an IPv4 multicast group address, but does not have an IPv4 enabled "
	 "outbound interface\n"},
	{"one IPv4 interface both ways", "239.1.1.1", nullptr,
	 {{"em0", D, D, a4, a6}, {"em1", D, D, nullptr, a6}},
	 "Bridge 5000 has an IPv4 multicast group address, but has only one IPv4 enabled "
	 "interface (em0)\n"},
	{"IPv6 group, IPv4-only interfaces", nullptr, "ff15::1",
	 {{"em0", D, N, a4, nullptr}, {"em1", N, D, a4, nullptr}},
	 "Bridge 5000 has an IPv6 multicast group address, but does not have an IPv6 enabled "
	 "inbound interface\n"},
	{"IPv6 group, no IPv6 outbound", nullptr, "ff15::1",
	 {{"em0", D, N, a4, a6}, {"em1", N, D, a4, nullptr}},
	 "Bridge 5000 has an IPv6 multicast group address, but does not have an IPv6 enabled "
	 "outbound interface\n"},
	{"one IPv6 interface both ways", nullptr, "ff15::1",
	 {{"em0", S, D, a4, nullptr}, {"em1", D, S, a4, a6}},
	 "Bridge 5000 has an IPv6 multicast group address, but has only one IPv6 enabled "
	 "interface (em1)\n"},
	{"IPv4 checked before IPv6", "239.1.1.1", "ff15::1",
	 {{"em0", D, N, nullptr, a6}, {"em1", N, D, nullptr, nullptr}},
	 "Bridge 5000 has an IPv4 multicast group address, but does not have an IPv4 enabled "
	 "inbound interface\n"},
};
INSTANTIATE_TEST_SUITE_P(Checks, ConfigSectionCheck, testing::ValuesIn(check_cases));

// The two sections of the sample file: three bridges, IPv4 first per section.
TEST_F(ConfigBridge, SampleSectionsGiveThreeBridges)
{
	section(&def, 5000, "239.1.1.1", nullptr,
		{{"em0", D, N, "192.0.2.10", "2001:db8::10"},
		 {"em1", N, D, "198.51.100.1", "2001:db8:1::1"},
		 {"em2", N, D, "203.0.113.1", "2001:db8:2::1"}});
	config_end_section(&def);
	EXPECT_EQ(bridge_count, 1u);
	EXPECT_EQ(bridge_capacity, 1u);
	bridge_definition second;
	section(&second, 6000, "239.2.2.2", "ff15::1:2",
		{{"em1", S, N, "198.51.100.1", "2001:db8:1::1"},
		 {"em0", N, D, "192.0.2.10", "2001:db8::10"},
		 {"em2", N, S, "203.0.113.1", "2001:db8:2::1"}});
	config_end_section(&second);
	ASSERT_EQ(bridge_count, 3u);
	EXPECT_EQ(bridge_capacity, 4u);

	const bridge &b4 = bridges[1], &b6 = bridges[2];
	EXPECT_EQ(b4.family, AF_INET);
	EXPECT_EQ(b6.family, AF_INET6);
	EXPECT_EQ(b4.port, 6000);
	EXPECT_EQ(b4.destination_length, sizeof(sockaddr_in));
	EXPECT_EQ(b6.destination_length, sizeof(sockaddr_in6));
	const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(&b4.destination);
	EXPECT_EQ(sin->sin_family, AF_INET);
	EXPECT_EQ(sin->sin_port, htons(6000));
	EXPECT_EQ(memcmp(&sin->sin_addr, second.ipv4_group, 4), 0);
	const sockaddr_in6 *sin6 = reinterpret_cast<const sockaddr_in6 *>(&b6.destination);
	EXPECT_EQ(sin6->sin6_family, AF_INET6);
	EXPECT_EQ(sin6->sin6_port, htons(6000));
	EXPECT_EQ(sin6->sin6_scope_id, 0u);
	EXPECT_EQ(sin6->sin6_flowinfo, 0u);
	EXPECT_EQ(memcmp(&sin6->sin6_addr, second.ipv6_group, 16), 0);

	for (uint32_t k = 0; k < 3; k++) {
		ASSERT_EQ(bridges[k].interface_count, 3u);
		for (uint32_t i = 0; i < 3; i++) {
			const bridge_interface &x = bridges[k].interfaces[i];
			EXPECT_EQ(x.bridge_index, k);
			EXPECT_EQ(x.socket, 0);
			EXPECT_EQ(x.inbound_active.load(), 0u);
			EXPECT_EQ(x.outbound_active.load(), 0u);
		}
	}
	// No dynamic inbound interface in section 6000: nothing is forced.
	for (const bridge *b : {&b4, &b6}) {
		EXPECT_STREQ(b->interfaces[0].name, "em1");
		EXPECT_EQ(b->interfaces[0].inbound_mode, S);
		EXPECT_EQ(b->interfaces[1].inbound_mode, N);
		EXPECT_EQ(b->interfaces[1].outbound_mode, D);
		EXPECT_EQ(b->interfaces[2].outbound_mode, S);
	}
	// Both families share one name text and carry their own addresses.
	for (uint32_t i = 0; i < 3; i++) {
		const bridge_interface &x4 = b4.interfaces[i], &x6 = b6.interfaces[i];
		EXPECT_EQ(x4.name, x6.name);
		EXPECT_EQ(x4.name, second.interfaces[i].name);
		EXPECT_EQ(x4.ifindex, second.interfaces[i].ifindex);
		EXPECT_EQ(memcmp(x4.hwaddr, second.interfaces[i].hwaddr, 6), 0);
		EXPECT_EQ(memcmp(x4.ipv4_addr, second.interfaces[i].ipv4_addr, 4), 0);
		EXPECT_EQ(memcmp(x6.ipv6_addr, second.interfaces[i].ipv6_addr, 16), 0);
		EXPECT_EQ(memcmp(x6.ipv6_link_local_addr, second.interfaces[i].ipv6_link_local_addr,
				 16), 0);
		static const uint8_t zero[16] = {};
		EXPECT_EQ(memcmp(x6.ipv4_addr, zero, 4), 0);
		EXPECT_EQ(memcmp(x4.ipv6_addr, zero, 16), 0);
	}
}

TEST_F(ConfigBridge, FamilyMembersAndGrowth)
{
	// em2 has IPv6 only: absent from the IPv4 bridge, kept in the IPv6 one.
	for (uint32_t n = 0; n < 5; n++) {
		section(&def, static_cast<uint16_t>(7000 + n), "239.3.3.3", "ff05::3",
			{{"em0", D, N, a4, a6}, {"em2", N, D, nullptr, a6}, {"em1", N, D, a4, a6}});
		config_end_section(&def);
		EXPECT_EQ(bridge_count, 2 * (n + 1));
	}
	EXPECT_EQ(bridge_capacity, 16u);
	for (uint32_t k = 0; k < bridge_count; k++) {
		const bridge &b = bridges[k];
		EXPECT_EQ(b.port, 7000 + k / 2);
		EXPECT_EQ(b.family, k % 2 ? AF_INET6 : AF_INET);
		if (b.family == AF_INET) {
			ASSERT_EQ(b.interface_count, 2u);
			EXPECT_STREQ(b.interfaces[1].name, "em1");
		} else {
			ASSERT_EQ(b.interface_count, 3u);
			EXPECT_STREQ(b.interfaces[1].name, "em2");
		}
		EXPECT_EQ(b.interfaces[b.interface_count - 1].bridge_index, k);
	}
}

struct forced_case {
	const char *what;
	std::vector<iface_spec> ifs;
	std::vector<uint32_t> inbound_after;
};

void PrintTo(const forced_case &c, std::ostream *os) { *os << c.what; }

class ConfigForced : public ConfigBridge, public testing::WithParamInterface<forced_case> {};

TEST_P(ConfigForced, DynamicInboundRaisedByStaticOutboundPeer)
{
	const forced_case &c = GetParam();
	memset(&def, 0, sizeof def);
	def.port = 4000;
	inet_pton(AF_INET, "239.4.4.4", def.ipv4_group);
	def.has_ipv4_group = 1;
	for (const iface_spec &s : c.ifs) {
		bridge_definition one;
		section(&one, 4000, nullptr, nullptr, {s});
		def.interfaces[def.interface_count++] = one.interfaces[0];
	}
	config_end_section(&def);
	ASSERT_EQ(bridge_count, 1u);
	ASSERT_EQ(bridges[0].interface_count, c.inbound_after.size());
	for (size_t i = 0; i < c.inbound_after.size(); i++) {
		EXPECT_EQ(bridges[0].interfaces[i].inbound_mode, c.inbound_after[i]) << "interface " << i;
		EXPECT_EQ(bridges[0].interfaces[i].outbound_mode, c.ifs[i].out) << "interface " << i;
	}
	// config_reset frees the names inside bridges; this one is in none.
	for (uint32_t i = bridges[0].interface_count; i < def.interface_count; i++)
		free(def.interfaces[i].name);
}

const forced_case forced_cases[] = {
	{"two dynamic inbound, one static outbound",
	 {{"em0", D, N, a4, a6}, {"em1", D, N, a4, a6}, {"em2", N, S, a4, a6}}, {F, F, N}},
	{"dynamic outbound forces nothing",
	 {{"em0", D, N, a4, a6}, {"em1", D, N, a4, a6}, {"em2", N, D, a4, a6}}, {D, D, N}},
	{"static outbound keeps its own dynamic inbound",
	 {{"em0", D, N, a4, a6}, {"em1", D, S, a4, a6}, {"em2", N, D, a4, a6}}, {F, D, N}},
	{"two static outbound force each other",
	 {{"em0", D, S, a4, a6}, {"em1", D, S, a4, a6}, {"em2", D, N, a4, a6}}, {F, F, F}},
	{"static inbound untouched",
	 {{"em0", S, N, a4, a6}, {"em1", N, S, a4, a6}, {"em2", D, D, a4, a6}}, {S, N, F}},
	{"peer without the family cannot force",
	 {{"em0", D, N, a4, a6}, {"em1", N, D, a4, a6}, {"em2", N, S, nullptr, a6}}, {D, N}},
};
INSTANTIATE_TEST_SUITE_P(Rule, ConfigForced, testing::ValuesIn(forced_cases));

} // namespace
