// MLD tables: registration, the link-local check, table sizes and the listing.
#include "mld_fixture.h"

#include <cstdio>

using mld_table = mld_fixture;

TEST_F(mld_table, SharedGroupListsEveryBridgeInterfaceInOrder)
{
	build({"ff05::1", "ff15::2", "ff05::1"});
	ASSERT_EQ(mld_interface_count, 1u);
	mld_interface *i = iface();
	EXPECT_STREQ(i->name, "veth-b");
	EXPECT_EQ(i->ifindex, 7u);
	EXPECT_EQ(text(i->address), "fe80::2");
	EXPECT_EQ(i->bridge_group_count, 2u);
	EXPECT_EQ(i->group_count, 2u);
	EXPECT_EQ(i->group_capacity, 102u);
	EXPECT_EQ(text(i->groups[0].address), "ff05::1");
	ASSERT_EQ(i->groups[0].bridge_interface_count, 2u);
	EXPECT_EQ(i->groups[0].bridge_interfaces[0], bis[0]);
	EXPECT_EQ(i->groups[0].bridge_interfaces[1], bis[2]);
	EXPECT_EQ(i->groups[1].bridge_interface_count, 1u);
	for (uint32_t n = 0; n < i->group_count; n++)
		EXPECT_EQ(i->groups[n].interface, i);
	for (uint32_t n = i->group_count; n < i->group_capacity; n++)
		EXPECT_FALSE(i->groups[n].active || i->groups[n].interface) << n;
	EXPECT_EQ(mld_evm->fd_capacity, 1);
	EXPECT_EQ(mld_evm->timer_capacity, 2 * (1 + 102));
}

TEST_F(mld_table, TwoInterfacesSizeTheEventManager)
{
	// Three groups on each of two interfaces: 2 x (2 + 206) timers.
	build({"ff05::1", "ff05::2", "ff05::3"}, "fe80::2", false);
	bridge_interface *other = new bridge_interface[3]();
	for (int n = 0; n < 3; n++) {
		other[n].bridge_index = (uint32_t)n;
		other[n].name = "veth-c";
		other[n].ifindex = 9;
		inet_pton(AF_INET6, "fe80::c", other[n].ipv6_link_local_addr);
	}
	for (int n = 0; n < 3; n++)
		mld_register_interface(&other[n]);
	mld_setup_tables();
	ASSERT_EQ(mld_interface_count, 2u);
	EXPECT_EQ(mld_interfaces[1].bridge_group_count, 3u);
	EXPECT_EQ(mld_interfaces[1].group_capacity, 103u);
	EXPECT_EQ(mld_evm->fd_capacity, 2);
	EXPECT_EQ(mld_evm->timer_capacity, 416);
	release(); // before the records that the tables point into
	delete[] other;
}

struct link_local_case {
	const char *address;
	bool accepted;
	const char *shown;
};

class mld_link_local : public mld_fixture,
		       public ::testing::WithParamInterface<link_local_case> {};

TEST_P(mld_link_local, OnlyFe80Slash10Starts)
{
	const link_local_case &c = GetParam();
	if (c.accepted) {
		build({"ff05::1"}, c.address);
		EXPECT_EQ(mld_interface_count, 1u);
		return;
	}
	EXPECT_EXIT(build({"ff05::1"}, c.address), ::testing::ExitedWithCode(1),
		    std::string("^Interface veth-b has an invalid IPv6 link-local address: ") +
			    c.shown + "\n$");
}

INSTANTIATE_TEST_SUITE_P(Addresses, mld_link_local,
			 ::testing::Values(link_local_case{"fe80::1", true, ""},
					   link_local_case{"febf:ffff::1", true, ""},
					   link_local_case{"fec0::1", false, "fec0::1"},
					   link_local_case{"2001:db8::2", false, "2001:db8::2"},
					   link_local_case{"::", false, "::"}));

TEST_F(mld_table, ListingShowsBridgeGroupsInRegistrationOrder)
{
	build({"ff15::2", "ff05::1", "ff15::2"});
	mld_querier_mode = querier_defer;
	::testing::internal::CaptureStdout();
	mld_print_listing();
	EXPECT_EQ(::testing::internal::GetCapturedStdout(), "MLD:\n"
							     "  Querier Mode: Defer\n"
							     "  Interface: veth-b\n"
							     "    if index: 7\n"
							     "    hw-addr: 02:00:00:00:00:02\n"
							     "    address: fe80::2\n"
							     "    groups:\n"
							     "      ff15::2\n"
							     "      ff05::1\n");
}

TEST_F(mld_table, NothingRegisteredMeansNothingAtAll)
{
	mld_interfaces = nullptr;
	mld_interface_count = mld_interface_capacity = 0;
	mld_evm = nullptr;
	::testing::internal::CaptureStdout();
	mld_setup(true);
	mld_start();
	EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
	EXPECT_EQ(mld_evm, nullptr);
}
