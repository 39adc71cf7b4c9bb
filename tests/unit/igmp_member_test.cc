// IGMP membership tracking: reports, leaves and v3 records into group
// state and forwarding, the last-member procedure, learned groups.
#include "igmp_fixture.h"

namespace {

const char *const host = "10.0.0.77";

bytes report(const char *group) { return igmp_frame(host, igmp_msg(0x16, 0, group)); }
bytes v1_report(const char *group) { return igmp_frame(host, igmp_msg(0x12, 0, group)); }
bytes leave(const char *group) { return igmp_frame(host, igmp_msg(0x17, 0, group), "224.0.0.2"); }

bytes group_query_239_1_1_1(bool s_flag)
{
	return {0x01, 0x00, 0x5e, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x11, 0x08, 0x00,
		0x46, 0xc0, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0xea, 0x0c,
		10, 0, 0, 5, 239, 1, 1, 1, 0x94, 0x04, 0x00, 0x00,
		0x11, 10, (uint8_t)(s_flag ? 0xf4 : 0xfc), 0x75, 239, 1, 1, 1,
		(uint8_t)(s_flag ? 0x0a : 0x02), 125, 0x00, 0x00};
}

} // namespace

class IgmpMemberTest : public IgmpTest {
protected:
	igmp_interface *b = nullptr;
	igmp_group *g1 = nullptr; // 239.1.1.1: bridges 0 and 1

	void SetUp() override
	{
		IgmpTest::SetUp();
		start();
		b = b_net();
		g1 = group(b, "239.1.1.1");
	}

	bool forwarding() { return ifs[0][1].outbound_active.load() != 0; }

	std::string logged(const bytes &frame)
	{
		testing::internal::CaptureStderr();
		receive(b, frame);
		return testing::internal::GetCapturedStderr();
	}
};

TEST_F(IgmpMemberTest, ReportActivatesEachBridgeInterfaceOnceAndRearms)
{
	debug_level = 3;
	EXPECT_EQ(logged(report("239.1.1.1")),
		  "IGMP(b-net) [10.0.0.77]: received v2 report [group 239.1.1.1]\n"
		  "Bridge(IPv4/5000): Activating outbound interface b-net (dynamic)\n"
		  "Bridge(IPv4/5001): Activating outbound interface b-net (dynamic)\n");
	EXPECT_TRUE(g1->active);
	EXPECT_EQ(ifs[1][1].outbound_active.load(), 1u);
	EXPECT_EQ(ifs[2][1].outbound_active.load(), 0u) << "other group";
	EXPECT_TRUE(armed(igmp_group_timeout, g1, 260000));

	EXPECT_EQ(logged(report("239.1.1.1")),
		  "IGMP(b-net) [10.0.0.77]: received v2 report [group 239.1.1.1]\n");
	EXPECT_TRUE(armed(igmp_group_timeout, g1, 260000));
	EXPECT_EQ(count_pending(igmp_group_timeout, g1), 1);

	debug_level = 2;
	testing::internal::CaptureStderr();
	fire(igmp_group_timeout, g1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "IGMP(b-net) [239.1.1.1]: Group membership timeout\n"
		  "Bridge(IPv4/5000): Deactivating outbound interface b-net\n"
		  "Bridge(IPv4/5001): Deactivating outbound interface b-net\n");
	EXPECT_FALSE(g1->active);
	EXPECT_FALSE(forwarding());
	EXPECT_EQ(ifs[1][1].outbound_active.load(), 0u);
}

TEST_F(IgmpMemberTest, LeaveWhileQuerierQueriesTwiceThenTimesOut)
{
	receive(b, report("239.1.1.1"));
	igmp_sent.clear();
	debug_level = 3;
	EXPECT_EQ(igmp_lines(logged(leave("239.1.1.1"))),
		  "IGMP(b-net) [10.0.0.77]: received v2 leave [group 239.1.1.1]\n"
		  "IGMP(b-net) [10.0.0.5]: sending query [group 239.1.1.1]\n");
	ASSERT_EQ(igmp_sent.size(), 1u);
	EXPECT_EQ(igmp_sent[0].data, group_query_239_1_1_1(false));
	EXPECT_TRUE(armed(igmp_group_timeout, g1, 2010));
	EXPECT_TRUE(armed(igmp_send_group_query, g1, 1000));
	EXPECT_EQ(g1->group_query_count, 1u);

	// A second leave during the sequence changes nothing.
	receive(b, leave("239.1.1.1"));
	EXPECT_EQ(igmp_sent.size(), 1u);
	EXPECT_EQ(count_pending(igmp_send_group_query, g1), 1);

	fire(igmp_send_group_query, g1);
	ASSERT_EQ(igmp_sent.size(), 2u);
	EXPECT_EQ(igmp_sent[1].data, group_query_239_1_1_1(true));
	EXPECT_FALSE(pending(igmp_send_group_query, g1));
	EXPECT_EQ(g1->group_query_count, 0u);
	EXPECT_TRUE(forwarding());

	fire(igmp_group_timeout, g1);
	EXPECT_FALSE(forwarding());
	EXPECT_EQ(igmp_evm->timer_count, 0) << "nothing left pending for the group";
}

TEST_F(IgmpMemberTest, ReportDuringTheSequenceKeepsTheGroup)
{
	receive(b, report("239.1.1.1"));
	receive(b, leave("239.1.1.1"));
	receive(b, report("239.1.1.1"));
	EXPECT_TRUE(armed(igmp_group_timeout, g1, 260000));
	EXPECT_EQ(count_pending(igmp_group_timeout, g1), 1);
	fire(igmp_send_group_query, g1); // the second query still goes out
	EXPECT_EQ(igmp_sent.size(), 2u);
	EXPECT_TRUE(forwarding());
}

TEST_F(IgmpMemberTest, GroupQueryFrameMapsTheLow23Bits)
{
	receive(b, report("239.129.2.3"));
	igmp_sent.clear();
	receive(b, leave("239.129.2.3"));
	ASSERT_EQ(igmp_sent.size(), 1u);
	const bytes &f = igmp_sent[0].data;
	EXPECT_EQ(bytes(f.begin(), f.begin() + 6), bytes({0x01, 0x00, 0x5e, 0x01, 0x02, 0x03}));
	EXPECT_EQ(ip_checksum(&f[14], 24), 0);
	EXPECT_EQ(ip_checksum(&f[38], 12), 0);
}

TEST_F(IgmpMemberTest, LeaveIsIgnoredUnlessWeAreQuerierAndNoV1Host)
{
	receive(b, report("239.1.1.1"));
	igmp_sent.clear();

	// Another router queries: we are not the querier.
	memcpy(b->querier_address, ip4("10.0.0.1").data(), 4);
	receive(b, leave("239.1.1.1"));
	EXPECT_TRUE(igmp_sent.empty());
	EXPECT_FALSE(pending(igmp_send_group_query, g1));
	memcpy(b->querier_address, b->address, 4);

	// An IGMPv1 host is present: leaves are ignored until it times out.
	debug_level = 3;
	receive(b, v1_report("239.1.1.1"));
	EXPECT_TRUE(armed(igmp_v1_host_timeout, g1, 260000));
	receive(b, leave("239.1.1.1"));
	EXPECT_TRUE(igmp_sent.empty());
	testing::internal::CaptureStderr();
	fire(igmp_v1_host_timeout, g1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "IGMP(b-net) []: v1 host present timeout\n");
	receive(b, leave("239.1.1.1"));
	EXPECT_EQ(igmp_sent.size(), 1u);
}

TEST_F(IgmpMemberTest, V1ReportArmsOneHostTimerEvenAfterATimeout)
{
	receive(b, v1_report("239.1.1.1"));
	fire(igmp_group_timeout, g1);
	EXPECT_TRUE(g1->v1_host_present) << "the timeout leaves the v1 state";
	receive(b, v1_report("239.1.1.1"));
	EXPECT_EQ(count_pending(igmp_v1_host_timeout, g1), 1);
	EXPECT_TRUE(armed(igmp_v1_host_timeout, g1, 260000));
}

TEST_F(IgmpMemberTest, ReusedSlotStartsWithoutTheV1HostTimer)
{
	receive(b, v1_report("239.9.9.9"));
	igmp_group *g = group(b, "239.9.9.9");
	fire(igmp_group_timeout, g);
	ASSERT_TRUE(pending(igmp_v1_host_timeout, g));
	receive(b, report("239.8.8.8"));
	ASSERT_EQ(group(b, "239.8.8.8"), g) << "slot reused";
	EXPECT_FALSE(g->v1_host_present);
	EXPECT_FALSE(pending(igmp_v1_host_timeout, g));
	receive(b, leave("239.8.8.8"));
	EXPECT_TRUE(pending(igmp_send_group_query, g)) << "leaves work for the new group";
}

// Each record type and source count: present (group timer back at GMI),
// leave (last-member procedure), or nothing.
struct record_case {
	uint8_t type;
	uint16_t sources;
	char action; // 'p', 'l', '-'
};

static void PrintTo(const record_case &c, std::ostream *os)
{
	*os << "type " << (int)c.type << " sources " << c.sources;
}

class IgmpRecordTest : public IgmpMemberTest, public ::testing::WithParamInterface<record_case> {};

TEST_P(IgmpRecordTest, Action)
{
	const record_case &c = GetParam();
	receive(b, report("239.1.1.1"));
	evm_timer was = *evm_find_timer(igmp_evm, igmp_group_timeout, g1);
	igmp_sent.clear();
	debug_level = 3;
	EXPECT_EQ(igmp_lines(logged(igmp_frame(host, igmp_v3_report({{c.type, "239.1.1.1", c.sources, 1}})))),
		  "IGMP(b-net) [10.0.0.77]: received v3 report type " + std::to_string(c.type) +
			  " [group 239.1.1.1]\n" +
			  (c.action == 'l' ? "IGMP(b-net) [10.0.0.5]: sending query [group 239.1.1.1]\n"
					   : ""));
	const evm_timer *t = evm_find_timer(igmp_evm, igmp_group_timeout, g1);
	ASSERT_NE(t, nullptr);
	switch (c.action) {
	case 'p':
		EXPECT_TRUE(armed(igmp_group_timeout, g1, 260000));
		EXPECT_TRUE(igmp_sent.empty());
		break;
	case 'l':
		EXPECT_TRUE(armed(igmp_group_timeout, g1, 2010));
		EXPECT_EQ(igmp_sent.size(), 1u);
		break;
	default:
		EXPECT_EQ(t->expiry_sec, was.expiry_sec);
		EXPECT_EQ(t->expiry_nsec, was.expiry_nsec);
		EXPECT_TRUE(igmp_sent.empty());
	}
	EXPECT_TRUE(g1->active);
}

INSTANTIATE_TEST_SUITE_P(Types, IgmpRecordTest,
			 ::testing::Values(record_case{1, 1, 'p'}, record_case{1, 0, 'l'},
					   record_case{2, 0, 'p'}, record_case{2, 3, 'p'},
					   record_case{3, 2, 'p'}, record_case{3, 0, 'l'},
					   record_case{4, 0, 'p'}, record_case{5, 1, 'p'},
					   record_case{6, 1, '-'}, record_case{6, 0, 'l'}));

TEST_F(IgmpMemberTest, V3ReportRecordsInOrderUntilAFaultyOne)
{
	receive(b, report("239.9.9.2"));
	receive(b, report("239.9.9.3"));
	igmp_sent.clear();
	receive(b, igmp_frame(host, igmp_v3_report({{2, "239.9.9.1", 0, 0},
						      {3, "239.9.9.2", 0, 0},
						      {6, "239.9.9.3", 1, 0}})));
	EXPECT_TRUE(group(b, "239.9.9.1")->active);
	EXPECT_TRUE(pending(igmp_send_group_query, group(b, "239.9.9.2")));
	EXPECT_FALSE(pending(igmp_send_group_query, group(b, "239.9.9.3")));
	EXPECT_EQ(igmp_sent.size(), 1u);

	struct {
		bytes msg;
		const char *text;
	} faulty[] = {
		{igmp_v3_report({{2, "239.9.8.1", 0, 0}, {9, "239.9.8.2", 0, 0}, {2, "239.9.8.3", 0, 0}}),
		 "Unknown group record type in IGMP v3 report"},
		{igmp_v3_report({{2, "239.9.8.1", 0, 0}, {0, "239.9.8.2", 0, 0}, {2, "239.9.8.3", 0, 0}}),
		 "Unknown group record type in IGMP v3 report"},
		{igmp_v3_report({{2, "239.9.8.1", 0, 0}, {2, "239.9.8.2", 3, 0}}),
		 "Group record data overrun in IGMP v3 report"},
		{igmp_v3_report({{2, "239.9.8.1", 0, 0}, {2, "239.9.8.2", 0, 0}}),
		 "Group record header overrun in IGMP v3 report"},
	};
	// Cut the source or record bytes short of what the header claims.
	faulty[2].msg.resize(faulty[2].msg.size() - 4);
	faulty[3].msg.resize(faulty[3].msg.size() - 4);
	for (auto &f : faulty) {
		fix_checksum(f.msg, 0, f.msg.size(), 2);
		TearDown();
		SetUp();
		debug_level = 2;
		EXPECT_EQ(igmp_lines(logged(igmp_frame(host, f.msg))),
			  std::string("IGMP(b-net) [10.0.0.77]: ") + f.text + "\n");
		EXPECT_TRUE(group(b, "239.9.8.1")->active) << f.text;
		igmp_group *second = group(b, "239.9.8.2");
		EXPECT_TRUE(second == nullptr || !second->active) << f.text;
		EXPECT_EQ(group(b, "239.9.8.3"), nullptr) << f.text;
	}
}

TEST_F(IgmpMemberTest, FullGroupListRefusesThenReusesAFreedSlot)
{
	char name[16];
	for (int i = 0; i < 100; i++) {
		snprintf(name, sizeof name, "239.100.0.%d", i);
		receive(b, report(name));
	}
	EXPECT_EQ(b->group_count, b->group_capacity);
	debug_level = 2;
	EXPECT_EQ(logged(report("239.100.1.0")),
		  "IGMP(b-net) [239.100.1.0]: Group list full -- group ignored\n");
	EXPECT_EQ(group(b, "239.100.1.0"), nullptr);
	// Bridge groups always have their entry.
	EXPECT_EQ(igmp_lines(logged(report("239.2.2.2"))), "");
	EXPECT_TRUE(group(b, "239.2.2.2")->active);

	igmp_group *freed = group(b, "239.100.0.40");
	fire(igmp_group_timeout, freed);
	EXPECT_EQ(b->group_count, b->group_capacity) << "not trailing: stays counted";
	receive(b, report("239.100.1.0"));
	EXPECT_EQ(bytes(freed->address, freed->address + 4), ip4("239.100.1.0"));
	EXPECT_TRUE(freed->active);

	// Trailing free slots are dropped; the first learned slot stays counted.
	for (uint32_t i = b->group_count; i-- > b->bridge_group_count;)
		fire(igmp_group_timeout, &b->groups[i]);
	EXPECT_EQ(b->group_count, b->bridge_group_count + 1);
}

// A group that times out while its query sequence still runs (another
// querier's group-specific query with a short Max Resp Time lowered the
// timer): the sequence ends with it, so the reused slot gets no stray
// query, and a later leave starts a fresh sequence.
TEST_F(IgmpMemberTest, TimeoutEndsARunningQuerySequence)
{
	receive(b, report("239.9.9.9"));
	igmp_group *g = group(b, "239.9.9.9");
	receive(b, leave("239.9.9.9"));
	ASSERT_TRUE(pending(igmp_send_group_query, g));
	receive(b, igmp_frame("10.0.0.1", igmp_msg(0x11, 1, "239.9.9.9")));
	EXPECT_TRUE(armed(igmp_group_timeout, g, 2 * 1 * 100 + 10));

	fire(igmp_group_timeout, g);
	EXPECT_FALSE(g->active);
	EXPECT_FALSE(pending(igmp_send_group_query, g));
	EXPECT_EQ(g->group_query_count, 0u);

	receive(b, report("239.8.8.8"));
	ASSERT_EQ(group(b, "239.8.8.8"), g) << "slot reused";
	EXPECT_FALSE(pending(igmp_send_group_query, g));

	fire(igmp_querier_timeout, b); // the other router went away
	igmp_sent.clear();
	receive(b, leave("239.8.8.8"));
	ASSERT_EQ(igmp_sent.size(), 1u);
	EXPECT_EQ(igmp_sent[0].data[46], 0x02) << "first query of a sequence: S clear";
	EXPECT_EQ(bytes(&igmp_sent[0].data[42], &igmp_sent[0].data[46]), ip4("239.8.8.8"));
	EXPECT_EQ(count_pending(igmp_send_group_query, g), 1);
}

TEST_F(IgmpMemberTest, GroupQueryInjectionFailureKeepsTheSequence)
{
	receive(b, report("239.1.1.1"));
	igmp_inject_result = -1;
	EXPECT_EQ(igmp_lines(logged(leave("239.1.1.1"))),
		  "IGMP(b-net): pcap_inject failed: no capture handle\n");
	EXPECT_TRUE(armed(igmp_send_group_query, g1, 1000));
}

// Every slot can hold three timers at once: membership, v1 host present and
// group query (an IGMPv1 report during the group's own last-member
// sequence). A link full of such groups must still leave room for the
// interfaces' own query and advertisement timers.
TEST_F(IgmpMemberTest, GroupsWithThreeTimersEachLeaveRoomForTheQuerier)
{
	char name[INET_ADDRSTRLEN];
	for (igmp_interface *ifc : {b_net(), c_net()}) {
		for (uint32_t i = 0; i < ifc->group_capacity; i++) {
			if (i < ifc->bridge_group_count)
				inet_ntop(AF_INET, ifc->groups[i].address, name, sizeof name);
			else
				snprintf(name, sizeof name, "239.100.0.%u", i & 0xff);
			receive(ifc, report(name));
			receive(ifc, leave(name));
			receive(ifc, v1_report(name));
		}
	}
	EXPECT_EQ(igmp_evm->timer_count, 3 * (int)(b_net()->group_capacity + c_net()->group_capacity));
	testing::internal::CaptureStderr();
	for (igmp_interface *ifc : {b_net(), c_net()}) {
		igmp_send_general_query(ifc);
		igmp_send_mrd_advert(ifc);
	}
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_TRUE(pending(igmp_send_general_query, b_net()));
	EXPECT_TRUE(pending(igmp_send_mrd_advert, c_net()));
}
