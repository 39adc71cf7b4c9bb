// The foreground "Bridges:" listing, compared whole.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>

#include "config/config.h"

namespace {

struct iface {
	const char *name;
	uint32_t in, out;
	const char *v4, *v6;
};

void add_section(uint16_t port, const char *g4, const char *g6, std::initializer_list<iface> ifs)
{
	static bridge_definition d;
	memset(&d, 0, sizeof d);
	d.port = port;
	d.has_ipv4_group = g4 != nullptr && inet_pton(AF_INET, g4, d.ipv4_group) == 1;
	d.has_ipv6_group = g6 != nullptr && inet_pton(AF_INET6, g6, d.ipv6_group) == 1;
	for (const iface &s : ifs) {
		interface_definition *e = &d.interfaces[d.interface_count++];
		e->name = strdup(s.name);
		e->ifindex = d.interface_count;
		e->inbound_mode = s.in;
		e->outbound_mode = s.out;
		e->has_ipv4 = s.v4 != nullptr && inet_pton(AF_INET, s.v4, e->ipv4_addr) == 1;
		e->has_ipv6 = s.v6 != nullptr && inet_pton(AF_INET6, s.v6, e->ipv6_addr) == 1;
	}
	config_end_section(&d);
}

std::string dump()
{
	testing::internal::CaptureStdout();
	config_dump();
	return testing::internal::GetCapturedStdout();
}

class ConfigDump : public testing::Test {
protected:
	void SetUp() override { config_reset(); }
	void TearDown() override { config_reset(); }
};

TEST_F(ConfigDump, SampleFile)
{
	add_section(5000, "239.1.1.1", nullptr,
		    {{"em0", mode_dynamic, mode_none, "192.0.2.10", "2001:db8::10"},
		     {"em1", mode_none, mode_dynamic, "198.51.100.1", "fd00::1"},
		     {"em2", mode_none, mode_dynamic, "203.0.113.1", "fe80::2"}});
	add_section(6000, "239.2.2.2", "ff15::1:2",
		    {{"em1", mode_static, mode_none, "198.51.100.1", "fd00::1"},
		     {"em0", mode_none, mode_dynamic, "192.0.2.10", "2001:db8::10"},
		     {"em2", mode_none, mode_static, "203.0.113.1", "fe80::2"}});
	EXPECT_EQ(dump(), "Bridges:\n"
			  "  IPv4, port 5000, address 239.1.1.1\n"
			  "    Inbound interfaces:\n"
			  "      em0, dynamic, address 192.0.2.10\n"
			  "    Outbound interfaces:\n"
			  "      em1, dynamic, address 198.51.100.1\n"
			  "      em2, dynamic, address 203.0.113.1\n"
			  "\n"
			  "  IPv4, port 6000, address 239.2.2.2\n"
			  "    Inbound interfaces:\n"
			  "      em1, static, address 198.51.100.1\n"
			  "    Outbound interfaces:\n"
			  "      em0, dynamic, address 192.0.2.10\n"
			  "      em2, static, address 203.0.113.1\n"
			  "\n"
			  "  IPv6, port 6000, address ff15::1:2\n"
			  "    Inbound interfaces:\n"
			  "      em1, static, address fd00::1\n"
			  "    Outbound interfaces:\n"
			  "      em0, dynamic, address 2001:db8::10\n"
			  "      em2, static, address fe80::2\n"
			  "\n");
}

// Forced inbound, an interface listed in both parts, and a member of the
// IPv6 bridge only.
TEST_F(ConfigDump, ForcedBothWaysAndFamilyMembers)
{
	add_section(65535, "239.255.0.1", "ff05::1",
		    {{"veth-a", mode_dynamic, mode_dynamic, "192.0.2.1", "2001:db8::a"},
		     {"veth-b", mode_dynamic, mode_none, nullptr, "fe80::b"},
		     {"veth-c", mode_none, mode_static, "198.51.100.3", "fd00::c"}});
	EXPECT_EQ(dump(), "Bridges:\n"
			  "  IPv4, port 65535, address 239.255.0.1\n"
			  "    Inbound interfaces:\n"
			  "      veth-a, forced, address 192.0.2.1\n"
			  "    Outbound interfaces:\n"
			  "      veth-a, dynamic, address 192.0.2.1\n"
			  "      veth-c, static, address 198.51.100.3\n"
			  "\n"
			  "  IPv6, port 65535, address ff05::1\n"
			  "    Inbound interfaces:\n"
			  "      veth-a, forced, address 2001:db8::a\n"
			  "      veth-b, forced, address fe80::b\n"
			  "    Outbound interfaces:\n"
			  "      veth-a, dynamic, address 2001:db8::a\n"
			  "      veth-c, static, address fd00::c\n"
			  "\n");
}

TEST_F(ConfigDump, NoBridgesOnlyHeading)
{
	EXPECT_EQ(dump(), "Bridges:\n");
}

} // namespace
