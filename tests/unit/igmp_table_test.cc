// IGMP tables: registration, the freeze at set-up, the foreground listing.
#include "igmp_fixture.h"

TEST_F(IgmpTest, RegistrationGroupsByInterfaceAndAddress)
{
	ASSERT_EQ(igmp_interface_count, 2u);
	igmp_interface *b = b_net(), *c = c_net();
	EXPECT_STREQ(b->name, "b-net");
	EXPECT_EQ(b->ifindex, 7u);
	EXPECT_EQ(bytes(b->address, b->address + 4), ip4("10.0.0.5"));
	EXPECT_EQ(b->hwaddr[5], 0x11);

	// Same group, different ports: one group holding both bridge interfaces,
	// in registration order; a second group behind it.
	ASSERT_EQ(b->group_count, 2u);
	EXPECT_EQ(bytes(b->groups[0].address, b->groups[0].address + 4), ip4("239.1.1.1"));
	ASSERT_EQ(b->groups[0].bridge_interface_count, 2u);
	EXPECT_EQ(b->groups[0].bridge_interfaces[0], &ifs[0][1]);
	EXPECT_EQ(b->groups[0].bridge_interfaces[1], &ifs[1][1]);
	EXPECT_EQ(bytes(b->groups[1].address, b->groups[1].address + 4), ip4("239.2.2.2"));

	// One bridge on two interfaces: each interface has the bridge group.
	ASSERT_EQ(c->group_count, 1u);
	EXPECT_EQ(c->groups[0].bridge_interfaces[0], &ifs[2][2]);
}

TEST_F(IgmpTest, PrepareFreezesListsAndSizesTheEventManager)
{
	igmp_prepare(false);
	igmp_interface *b = b_net(), *c = c_net();
	EXPECT_EQ(b->bridge_group_count, 2u);
	EXPECT_EQ(b->group_capacity, 102u);
	EXPECT_EQ(c->group_capacity, 101u);
	for (uint32_t i = 0; i < b->group_capacity; i++) {
		igmp_group *g = &b->groups[i];
		EXPECT_EQ(g->interface, i < 2 ? b : nullptr) << i;
		if (i >= 2) {
			EXPECT_EQ(g->active | g->bridge_interface_count | g->address[0], 0u) << i;
		}
	}
	ASSERT_NE(igmp_evm, nullptr);
	EXPECT_EQ(igmp_evm->fd_capacity, 2);
	EXPECT_EQ(igmp_evm->timer_capacity, 2 * 2 + 3 * (102 + 101));
	uint8_t hosts[4] = {224, 0, 0, 1}, snoopers[4] = {224, 0, 0, 106};
	EXPECT_EQ(memcmp(all_hosts_group, hosts, 4), 0);
	EXPECT_EQ(memcmp(all_snoopers_group, snoopers, 4), 0);
}

TEST_F(IgmpTest, ListingInTheForegroundOnly)
{
	igmp_querier_mode = querier_defer;
	testing::internal::CaptureStdout();
	igmp_prepare(true);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "IGMP:\n"
		  "  Querier Mode: Defer\n"
		  "  Interface: b-net\n"
		  "    if index: 7\n"
		  "    hw-addr: 02:00:00:00:00:11\n"
		  "    address: 10.0.0.5\n"
		  "    groups:\n"
		  "      239.1.1.1\n"
		  "      239.2.2.2\n"
		  "  Interface: c-net\n"
		  "    if index: 8\n"
		  "    hw-addr: 02:00:00:00:00:12\n"
		  "    address: 10.0.0.9\n"
		  "    groups:\n"
		  "      239.2.2.2\n");
}

TEST(IgmpTableEmpty, NoInterfaceNoListingNoEventManager)
{
	ASSERT_EQ(igmp_interface_count, 0u);
	testing::internal::CaptureStdout();
	igmp_setup(true);
	igmp_start();
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
	EXPECT_EQ(igmp_evm, nullptr);
}

TEST(IgmpTableSingle, OneInterfaceOneGroupIs305Timers)
{
	bridge b{};
	bridge_interface bi[1];
	b.family = AF_INET;
	b.port = 9;
	auto *sin = reinterpret_cast<sockaddr_in *>(&b.destination);
	sin->sin_family = AF_INET;
	inet_pton(AF_INET, "239.1.1.1", &sin->sin_addr);
	b.interfaces = bi;
	b.interface_count = 1;
	bi[0].bridge_index = 0;
	bi[0].outbound_mode = mode_dynamic;
	bi[0].name = "em0";
	bi[0].ifindex = 1;
	const uint8_t hw[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
	memcpy(bi[0].hwaddr, hw, 6);
	inet_pton(AF_INET, "192.0.2.1", bi[0].ipv4_addr);
	bridges = &b;
	bridge_count = 1;
	igmp_querier_mode = querier_quick;
	igmp_register_interface(&bi[0]);
	testing::internal::CaptureStdout();
	igmp_prepare(true);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "IGMP:\n  Querier Mode: Quick\n  Interface: em0\n    if index: 1\n"
		  "    hw-addr: 00:11:22:33:44:55\n    address: 192.0.2.1\n    groups:\n"
		  "      239.1.1.1\n");
	EXPECT_EQ(igmp_evm->timer_capacity, 2 + 3 * 101);
	EXPECT_EQ(igmp_evm->fd_capacity, 1);

	free(igmp_interfaces[0].groups[0].bridge_interfaces);
	free(igmp_interfaces[0].groups);
	free(igmp_interfaces);
	igmp_interfaces = nullptr;
	igmp_interface_count = igmp_interface_capacity = 0;
	close(igmp_evm->queue);
	free(igmp_evm->fds);
	free(igmp_evm->events);
	free(igmp_evm->timers);
	free(igmp_evm);
	igmp_evm = nullptr;
	bridges = nullptr;
	bridge_count = 0;
}
