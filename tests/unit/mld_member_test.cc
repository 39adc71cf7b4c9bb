// MLD listener tracking: reports and done messages into group state and
// bridge activation, address-specific query series, learned groups.
#include "mld_fixture.h"

namespace {

bytes v1_report(const char *group) { return mld_frame(mld_v1(131, group)); }
bytes done(const char *group) { return mld_frame(mld_v1(132, group)); }

} // namespace

struct mld_member : mld_fixture {
	mld_group *g0() { return &iface()->groups[0]; }

	// Quiet the advertisements so that the loop can be run over a window
	// on a clock reading ahead of real time: nothing else re-arms itself
	// within the windows used here.
	void run_for(uint32_t ms)
	{
		evm_del_timer(mld_evm, mld_send_mrd_advert, iface());
		evm_del_timer(mld_evm, mld_send_general_query, iface());
		timespec now;
		clock_gettime(CLOCK_MONOTONIC, &now);
		now.tv_sec += ms / 1000;
		now.tv_nsec += (long)(ms % 1000) * 1000000;
		if (now.tv_nsec >= 1000000000) {
			now.tv_nsec -= 1000000000;
			now.tv_sec++;
		}
		evm_run_due(mld_evm, &now);
	}

	bool group_timers_left(const mld_group *g)
	{
		return evm_find_timer(mld_evm, mld_group_timeout, g) != nullptr ||
		       evm_find_timer(mld_evm, mld_send_group_query, g) != nullptr;
	}
};

TEST_F(mld_member, ReportActivatesOnceAndTheGroupTimesOut)
{
	build({"ff05::1", "ff15::2"});
	start(querier_quick);
	debug_level = 1;
	::testing::internal::CaptureStderr();
	receive(v1_report("ff05::1"));
	receive(v1_report("ff05::1"));
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "Bridge(IPv6/5000): Activating outbound interface veth-b (dynamic)\n");
	EXPECT_TRUE(g0()->active);
	EXPECT_EQ(bis[0]->outbound_active, 1u);
	EXPECT_EQ(bis[1]->outbound_active, 0u);
	EXPECT_PENDING(260010, mld_group_timeout, g0());
	EXPECT_EQ(mld_evm->timer_count, 3); // advertisement, general query, one group timer

	debug_level = 2;
	::testing::internal::CaptureStderr();
	fire(mld_group_timeout, g0());
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "MLD(veth-b) [ff05::1]: Group membership timeout\n"
		  "Bridge(IPv6/5000): Deactivating outbound interface veth-b\n");
	EXPECT_FALSE(g0()->active);
	EXPECT_EQ(bis[0]->outbound_active, 0u);
	EXPECT_FALSE(group_timers_left(g0()));
	EXPECT_EQ(iface()->group_count, 2u); // bridge groups keep their slots
}

TEST_F(mld_member, DoneOnTheQuerierSendsTwoQueriesThenExpires)
{
	build({"ff05::1"});
	start(querier_quick);
	receive(mld_frame(mld_v2_report({{4, "ff05::1", 0, 0}}))); // CHANGE_TO_EXCLUDE, {}
	ASSERT_TRUE(g0()->active);
	::testing::internal::CaptureStderr();
	receive(mld_frame(mld_v2_report({{3, "ff05::1", 0, 0}}))); // CHANGE_TO_INCLUDE, {}
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "MLD(veth-b) [fe80::9]: received v2 report type 3 [group ff05::1]\n"
		  "MLD(veth-b) [fe80::2]: sending query [group ff05::1]\n");
	EXPECT_PENDING(2010, mld_group_timeout, g0());
	EXPECT_PENDING(1000, mld_send_group_query, g0());
	EXPECT_EQ(g0()->group_query_count, 1);

	run_for(2010);
	EXPECT_FALSE(g0()->active);
	EXPECT_EQ(bis[0]->outbound_active, 0u);
	EXPECT_EQ(g0()->group_query_count, 0);
	EXPECT_FALSE(group_timers_left(g0()));
	// Worked out by hand: S clear on the first query of the series, set on the second.
	ASSERT_EQ(mld_sent.size(), 2u);
	bytes first(90), second(90);
	const char *hex[2] = {
		"33330000000102000000000286dd6000000000240001fe800000000000000000000000000002"
		"ff0500000000000000000000000000013a0005020000010082007ab303e80000ff0500000000"
		"00000000000000000001027d0000",
		"33330000000102000000000286dd6000000000240001fe800000000000000000000000000002"
		"ff0500000000000000000000000000013a00050200000100820072b303e80000ff0500000000"
		"000000000000000000010a7d0000"};
	for (int n = 0; n < 2; n++) {
		bytes want;
		for (const char *p = hex[n]; p[0]; p += 2)
			want.push_back((uint8_t)std::stoul(std::string(p, 2), nullptr, 16));
		EXPECT_EQ(mld_sent[(size_t)n], want) << "query " << n;
	}
}

TEST_F(mld_member, ReportDuringASeriesKeepsTheGroupWhileTheSeriesCompletes)
{
	build({"ff05::1"});
	start(querier_quick);
	receive(v1_report("ff05::1"));
	receive(done("ff05::1"));
	EXPECT_EQ(mld_sent.size(), 1u);
	// A second done while the series runs changes nothing.
	receive(done("ff05::1"));
	EXPECT_EQ(mld_sent.size(), 1u);
	EXPECT_PENDING(2010, mld_group_timeout, g0());
	receive(v1_report("ff05::1"));
	EXPECT_PENDING(260010, mld_group_timeout, g0());
	run_for(2010);
	EXPECT_EQ(mld_sent.size(), 2u);
	EXPECT_TRUE(g0()->active);
	EXPECT_EQ(g0()->group_query_count, 0);
	EXPECT_EQ(bis[0]->outbound_active, 1u);
}

TEST_F(mld_member, DoneWhileNotQuerierChangesNothing)
{
	build({"ff05::1"});
	start(querier_delay);
	receive(v1_report("ff05::1"));
	receive(done("ff05::1"));
	receive(mld_frame(mld_v2_report({{6, "ff05::1", 0, 0}})));
	EXPECT_TRUE(mld_sent.empty());
	EXPECT_EQ(g0()->group_query_count, 0);
	EXPECT_PENDING(260010, mld_group_timeout, g0());
}

TEST_F(mld_member, LinkScopeGroupsAreNeverTracked)
{
	build({"ff05::1"});
	start(querier_quick);
	for (const char *g : {"ff02::1:ff00:1", "ff02::1", "ff02::16", "ff02::1234"}) {
		receive(v1_report(g));
		receive(mld_frame(mld_v2_report({{2, g, 0, 0}})));
		EXPECT_EQ(mld_find_group(iface(), ip6(g).data()), nullptr) << g;
	}
	EXPECT_EQ(iface()->group_count, 1u);
	// ff12:: (transient link-local) is not in ff02::/16: tracked as learned.
	receive(v1_report("ff12::1"));
	EXPECT_EQ(iface()->group_count, 2u);
	EXPECT_TRUE(iface()->groups[1].active);
}

TEST_F(mld_member, AFullTableRefusesTheNewGroup)
{
	build({"ff05::1"});
	start(querier_quick);
	char g[46];
	for (int n = 0; n < 100; n++) {
		snprintf(g, sizeof g, "ff05::1:%x", n);
		receive(v1_report(g));
	}
	ASSERT_EQ(iface()->group_count, 101u);
	mld_group *before = iface()->groups;
	debug_level = 2;
	::testing::internal::CaptureStderr();
	receive(v1_report("ff05::2:0"));
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "MLD(veth-b) [ff05::2:0]: Group list full -- group ignored\n");
	EXPECT_EQ(iface()->group_count, 101u);
	EXPECT_EQ(iface()->groups, before);
	// Existing groups still work; a freed slot takes the next new group.
	receive(v1_report("ff05::1:5"));
	fire(mld_group_timeout, &iface()->groups[1]);
	receive(v1_report("ff05::2:0"));
	EXPECT_EQ(text(iface()->groups[1].address), "ff05::2:0");
	EXPECT_TRUE(iface()->groups[1].active);
}

TEST_F(mld_member, LearnedRangeShrinksFromTheEndButKeepsItsFirstSlot)
{
	build({"ff05::1"});
	start(querier_quick);
	for (const char *g : {"ff05::a", "ff05::b", "ff05::c"})
		receive(v1_report(g));
	mld_group *groups = iface()->groups;
	ASSERT_EQ(iface()->group_count, 4u);
	fire(mld_group_timeout, &groups[2]);
	EXPECT_EQ(iface()->group_count, 4u); // ff05::c behind it is active
	fire(mld_group_timeout, &groups[3]);
	EXPECT_EQ(iface()->group_count, 2u);
	fire(mld_group_timeout, &groups[1]);
	EXPECT_EQ(iface()->group_count, 2u);
	// Not active but still looked up by address: a new lookup reuses the slot.
	EXPECT_EQ(mld_find_group(iface(), ip6("ff05::d").data()), &groups[1]);
}

struct record_case {
	uint8_t type;
	uint16_t sources;
	enum { present, leaving, nothing } effect;
};

class mld_record_type : public mld_member, public ::testing::WithParamInterface<record_case> {};

TEST_P(mld_record_type, EffectOnInactiveAndActiveGroup)
{
	const record_case &c = GetParam();
	build({"ff05::1"});
	start(querier_quick);
	receive(mld_frame(mld_v2_report({{c.type, "ff05::1", c.sources, 1}})));
	EXPECT_EQ(g0()->active != 0, c.effect == record_case::present);

	receive(v1_report("ff05::1"));
	mld_sent.clear();
	receive(mld_frame(mld_v2_report({{c.type, "ff05::1", c.sources, 1}})));
	EXPECT_EQ(mld_sent.size(), c.effect == record_case::leaving ? 1u : 0u);
	EXPECT_PENDING(c.effect == record_case::leaving ? 2010 : 260010, mld_group_timeout, g0());
}

INSTANTIATE_TEST_SUITE_P(
	Types, mld_record_type,
	::testing::Values(record_case{1, 1, record_case::present}, record_case{1, 0, record_case::leaving},
			  record_case{2, 1, record_case::present}, record_case{2, 0, record_case::present},
			  record_case{3, 2, record_case::present}, record_case{3, 0, record_case::leaving},
			  record_case{4, 1, record_case::present}, record_case{4, 0, record_case::present},
			  record_case{5, 1, record_case::present}, record_case{5, 0, record_case::present},
			  record_case{6, 1, record_case::nothing}, record_case{6, 0, record_case::leaving}));

TEST_F(mld_member, BrokenRecordsKeepTheEffectOfTheirPredecessors)
{
	debug_level = 2;
	struct {
		bytes msg;
		const char *log;
		bool second_active;
		bool third_active;
	} cases[] = {
		// Second record cut short by one byte.
		{[] {
			 bytes m = mld_v2_report({{4, "ff05::1", 0, 0}, {4, "ff05::2", 1, 0}});
			 m.pop_back();
			 return m;
		 }(),
		 "Group record data overrun in MLD v2 report", false, false},
		// Two records announced, one present.
		{[] {
			 bytes m = mld_v2_report({{4, "ff05::1", 0, 0}});
			 put16(m, 6, 2);
			 return m;
		 }(),
		 "Group record header overrun in MLD v2 report", false, false},
		// Type 7 stops the report after its predecessor.
		{mld_v2_report({{4, "ff05::1", 0, 0}, {7, "ff05::2", 0, 0}, {4, "ff05::3", 0, 0}}),
		 "Unknown group record type in MLD v2 report", false, false},
		// The same record for a link-scope group is skipped before its type is seen.
		{mld_v2_report({{4, "ff05::1", 0, 0}, {7, "ff02::2", 0, 0}, {4, "ff05::3", 0, 0}}),
		 nullptr, false, true},
	};
	for (auto &c : cases) {
		build({"ff05::1", "ff05::2", "ff05::3"});
		start(querier_quick);
		::testing::internal::CaptureStderr();
		receive(mld_frame(c.msg));
		std::string log = ::testing::internal::GetCapturedStderr();
		if (c.log != nullptr)
			EXPECT_NE(log.find(std::string("MLD(veth-b) [fe80::9]: ") + c.log + "\n"),
				  std::string::npos)
				<< log;
		else
			EXPECT_EQ(log.find("Unknown"), std::string::npos) << log;
		EXPECT_TRUE(iface()->groups[0].active);
		EXPECT_EQ(iface()->groups[1].active != 0, c.second_active);
		EXPECT_EQ(iface()->groups[2].active != 0, c.third_active);
	}
}

// A series of address-specific queries that is still running when the group
// times out (another querier lowered the group timer) is ended by the
// timeout: no stray query for whatever takes the slot next, and a later
// done starts a new series.
TEST_F(mld_member, TimeoutEndsARunningQuerySeries)
{
	build({"ff05::1"});
	start(querier_quick);
	receive(v1_report("ff05::a")); // learned, slot 1
	receive(done("ff05::a"));
	mld_group *learned = &iface()->groups[1];
	ASSERT_EQ(learned->group_query_count, 1);
	ASSERT_GE(pending(mld_send_group_query, learned), 0);
	// A lower querier asks about the group with a 0 ms response time.
	receive(mld_frame(mld_query("ff05::a", 0, 0x01, 125), {.source = "fe80::1"}));
	EXPECT_PENDING(10, mld_group_timeout, learned);

	fire(mld_group_timeout, learned);
	EXPECT_FALSE(learned->active);
	EXPECT_EQ(learned->group_query_count, 0);
	EXPECT_FALSE(group_timers_left(learned));

	// The slot goes to another group: nothing is sent for it.
	mld_sent.clear();
	receive(v1_report("ff05::b"));
	EXPECT_EQ(learned, mld_find_group(iface(), ip6("ff05::b").data()));
	run_for(1500);
	EXPECT_TRUE(mld_sent.empty());

	// Querier again: a done for the new group starts its own series.
	fire(mld_querier_timeout, iface());
	mld_sent.clear();
	receive(done("ff05::b"));
	ASSERT_EQ(mld_sent.size(), 1u);
	EXPECT_EQ(mld_sent[0][86], 0x02); // first of a series: S clear
	EXPECT_EQ(text(&mld_sent[0][70]), "ff05::b");
}

TEST_F(mld_member, TimeoutDuringASeriesLetsABridgeGroupStartAgain)
{
	build({"ff05::1"});
	start(querier_quick);
	receive(v1_report("ff05::1"));
	receive(done("ff05::1"));
	fire(mld_group_timeout, g0());
	EXPECT_FALSE(group_timers_left(g0()));
	receive(v1_report("ff05::1"));
	mld_sent.clear();
	receive(done("ff05::1"));
	EXPECT_EQ(mld_sent.size(), 1u);
	EXPECT_PENDING(2010, mld_group_timeout, g0());
}

TEST_F(mld_member, TimerTableHoldsEveryGroupInASeries)
{
	// Each slot holds its membership timer and a pending query of its
	// series, the interface its advertisement and general query: exactly
	// the capacity, and nothing is dropped.
	build({"ff05::1"});
	start(querier_quick);
	char g[46];
	::testing::internal::CaptureStderr();
	for (int n = 0; n <= 100; n++) {
		snprintf(g, sizeof g, "ff05::1:%x", n);
		receive(v1_report(n == 100 ? "ff05::1" : g));
		receive(done(n == 100 ? "ff05::1" : g));
	}
	EXPECT_EQ(::testing::internal::GetCapturedStderr().find("exceeded"), std::string::npos);
	EXPECT_EQ(mld_evm->timer_count, mld_evm->timer_capacity);
	EXPECT_GE(pending(mld_send_mrd_advert, iface()), 0);
	EXPECT_GE(pending(mld_send_general_query, iface()), 0);
}
