// IGMP querier: the query frames, start-up by mode, the general query
// schedule, election and adoption of a foreign querier's values.
#include "igmp_fixture.h"

namespace {

const bytes general_query_b_net = {
	0x01, 0x00, 0x5e, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x11, 0x08, 0x00, // ether
	0x46, 0xc0, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0xfa, 0x0d,             // ip
	10, 0, 0, 5, 224, 0, 0, 1, 0x94, 0x04, 0x00, 0x00,                                 // ip
	0x11, 100, 0xec, 0x1e, 0, 0, 0, 0, 0x02, 125, 0x00, 0x00,                          // igmp
};

std::string log_of(void (*action)(void *), void *arg)
{
	testing::internal::CaptureStderr();
	action(arg);
	return igmp_lines(testing::internal::GetCapturedStderr());
}

} // namespace

TEST_F(IgmpTest, QueryFramesByteForByte)
{
	prepare();
	igmp_interface *b = b_net();
	EXPECT_EQ(bytes(b->general_query_frame, b->general_query_frame + 50), general_query_b_net);
	bytes tmpl = general_query_b_net;
	tmpl[5] = 0;               // 01:00:5e:00:00:00
	tmpl[24] = tmpl[25] = 0;   // checksums filled per send
	memset(&tmpl[30], 0, 4);   // destination
	tmpl[39] = 10;             // 1 s
	tmpl[40] = tmpl[41] = 0;
	EXPECT_EQ(bytes(b->group_query_frame, b->group_query_frame + 50), tmpl);
}

TEST_F(IgmpTest, SeedIsTimeXorPid)
{
	igmp_seed_random(0x12345678, 0x0000ffff);
	EXPECT_EQ(igmp_rand_state[0], 0x330e);
	EXPECT_EQ(igmp_rand_state[1], 0xa987);
	EXPECT_EQ(igmp_rand_state[2], 0x1234);
}

TEST_F(IgmpTest, QuickStartQueriesAtOnceThenStartupThenInterval)
{
	debug_level = 3;
	testing::internal::CaptureStderr();
	mark();
	start(true);
	std::string log = igmp_lines(testing::internal::GetCapturedStderr());
	igmp_interface *b = b_net();
	EXPECT_NE(log.find("IGMP(b-net) [10.0.0.5]: sending Multicast Router Discovery advertisement\n"
			   "IGMP(b-net) [10.0.0.5]: Querier mode activated\n"
			   "IGMP(b-net) [10.0.0.5]: sending general query\n"),
		  std::string::npos)
		<< log;
	EXPECT_TRUE(igmp_is_querier(b));
	ASSERT_EQ(igmp_sent.size(), 4u); // advert and query on each interface
	EXPECT_EQ(igmp_sent[0].data.size(), 46u);
	EXPECT_EQ(igmp_sent[1].data, general_query_b_net);
	EXPECT_EQ(igmp_sent[1].ifc, b);
	EXPECT_TRUE(armed(igmp_send_general_query, b, 31250));
	EXPECT_FALSE(pending(igmp_querier_timeout, b));
	EXPECT_EQ(b->robustness, 2u);
	EXPECT_EQ(b->query_interval, 125u);
	EXPECT_EQ(b->query_response_interval, 100u);
	EXPECT_EQ(b->last_member_query_interval, 10u);

	for (int i = 0; i < 3; i++) {
		fire(igmp_send_general_query, b);
		EXPECT_TRUE(armed(igmp_send_general_query, b, 125000)) << i;
	}
	EXPECT_EQ(count_pending(igmp_send_general_query, b), 1);
}

TEST_F(IgmpTest, DelayAndDeferWaitThenTakeTheRole)
{
	for (uint32_t mode : {querier_delay, querier_defer}) {
		igmp_querier_mode = mode;
		debug_level = 2;
		mark();
		start(true);
		igmp_interface *b = b_net();
		EXPECT_EQ(igmp_sent.size(), 2u) << "advertisements only";
		EXPECT_EQ(bytes(b->querier_address, b->querier_address + 4), ip4("255.255.255.255"));
		EXPECT_TRUE(armed(igmp_querier_timeout, b, 125500));
		EXPECT_FALSE(pending(igmp_send_general_query, b));

		evm_del_timer(igmp_evm, igmp_querier_timeout, b);
		EXPECT_EQ(log_of(igmp_querier_timeout, b),
			  "IGMP(b-net) [255.255.255.255]: Querier timeout\n"
			  "IGMP(b-net) [10.0.0.5]: Querier mode activated\n");
		EXPECT_TRUE(igmp_is_querier(b));
		EXPECT_EQ(igmp_sent.back().data, general_query_b_net);
		EXPECT_TRUE(armed(igmp_send_general_query, b, 31250));
		TearDown();
		SetUp();
	}
}

TEST_F(IgmpTest, NeverModeArmsNothingAndForgetsTheQuerier)
{
	igmp_querier_mode = querier_never;
	debug_level = 2;
	start(true);
	igmp_interface *b = b_net();
	EXPECT_EQ(igmp_evm->timer_count, 2) << "advertisement timers only";
	EXPECT_TRUE(pending(igmp_send_mrd_advert, b));

	testing::internal::CaptureStderr();
	receive(b, igmp_frame("10.0.0.200", igmp_msg(0x11, 100, "0.0.0.0")));
	EXPECT_EQ(igmp_lines(testing::internal::GetCapturedStderr()),
		  "IGMP(b-net) [10.0.0.200]: New querier elected\n");
	EXPECT_TRUE(armed(igmp_querier_timeout, b, 255000));

	fire(igmp_querier_timeout, b);
	EXPECT_EQ(bytes(b->querier_address, b->querier_address + 4), ip4("255.255.255.255"));
	EXPECT_FALSE(pending(igmp_send_general_query, b));
	EXPECT_FALSE(pending(igmp_querier_timeout, b));
}

struct election_case {
	uint32_t mode;
	const char *source;
	bool yields;
};

static void PrintTo(const election_case &c, std::ostream *os) { *os << c.mode << " " << c.source; }

static std::string election_name(const ::testing::TestParamInfo<election_case> &info)
{
	static const char *const modes[] = {"Never", "Quick", "Delay", "Defer"};
	return std::string(modes[info.param.mode]) +
	       (info.param.source[7] == '2' ? "Lower" : "Higher");
}

class IgmpElectionTest : public IgmpTest, public ::testing::WithParamInterface<election_case> {};

TEST_P(IgmpElectionTest, WhileQuerier)
{
	const election_case &c = GetParam();
	igmp_querier_mode = c.mode;
	start();
	igmp_interface *b = b_net();
	igmp_querier_timeout(b); // take the role in every mode
	igmp_sent.clear();
	igmp_group *g = group(b, "239.1.1.1");
	receive(b, igmp_frame("10.0.0.77", igmp_msg(0x16, 0, "239.1.1.1")));
	evm_timer group_timer = *evm_find_timer(igmp_evm, igmp_group_timeout, g);
	bytes values_before(reinterpret_cast<uint8_t *>(&b->robustness),
			    reinterpret_cast<uint8_t *>(&b->startup_query_count));

	debug_level = 2;
	testing::internal::CaptureStderr();
	receive(b, igmp_frame(c.source, igmp_msg(0x11, 30, "239.1.1.1")));
	std::string log = igmp_lines(testing::internal::GetCapturedStderr());
	if (c.yields) {
		EXPECT_EQ(log, std::string("IGMP(b-net) [") + c.source + "]: New querier elected\n");
		EXPECT_EQ(bytes(b->querier_address, b->querier_address + 4), ip4(c.source));
		EXPECT_FALSE(pending(igmp_send_general_query, b));
		EXPECT_TRUE(armed(igmp_querier_timeout, b, (125 * 2 + 30 / 20) * 1000));
		EXPECT_EQ(b->query_response_interval, 30u);
		EXPECT_TRUE(armed(igmp_group_timeout, g, 2 * 30 * 100 + 10));
	} else {
		EXPECT_EQ(log, "");
		EXPECT_TRUE(igmp_is_querier(b));
		EXPECT_TRUE(pending(igmp_send_general_query, b));
		EXPECT_FALSE(pending(igmp_querier_timeout, b));
		EXPECT_EQ(values_before, bytes(reinterpret_cast<uint8_t *>(&b->robustness),
					       reinterpret_cast<uint8_t *>(&b->startup_query_count)));
		const evm_timer *t = evm_find_timer(igmp_evm, igmp_group_timeout, g);
		ASSERT_NE(t, nullptr);
		EXPECT_EQ(t->expiry_sec, group_timer.expiry_sec) << "group timer untouched";
		EXPECT_EQ(t->expiry_nsec, group_timer.expiry_nsec);
	}
	EXPECT_TRUE(igmp_sent.empty());
}

// b-net is 10.0.0.5.
INSTANTIATE_TEST_SUITE_P(Modes, IgmpElectionTest,
			 ::testing::Values(election_case{querier_quick, "10.0.0.2", true},
					   election_case{querier_quick, "10.0.0.8", false},
					   election_case{querier_delay, "10.0.0.2", true},
					   election_case{querier_delay, "10.0.0.8", false},
					   election_case{querier_defer, "10.0.0.2", true},
					   election_case{querier_defer, "10.0.0.8", true}),
			 election_name);

TEST_F(IgmpTest, NonQuerierFollowsTheLowestSourceAndRearmsOnEveryQuery)
{
	igmp_querier_mode = querier_delay;
	start();
	igmp_interface *b = b_net();
	debug_level = 2;
	struct {
		const char *source;
		const char *querier;
		const char *log;
	} steps[] = {
		// Higher than us, but no querier known: followed.
		{"10.0.0.9", "10.0.0.9", "IGMP(b-net) [10.0.0.9]: New querier elected\n"},
		{"10.0.0.20", "10.0.0.9", ""},
		{"10.0.0.9", "10.0.0.9", ""},
		{"10.0.0.7", "10.0.0.7", "IGMP(b-net) [10.0.0.7]: New querier elected\n"},
	};
	for (const auto &s : steps) {
		testing::internal::CaptureStderr();
		receive(b, igmp_frame(s.source, igmp_msg(0x11, 100, "0.0.0.0")));
		EXPECT_EQ(igmp_lines(testing::internal::GetCapturedStderr()), s.log) << s.source;
		EXPECT_EQ(bytes(b->querier_address, b->querier_address + 4), ip4(s.querier));
		EXPECT_TRUE(armed(igmp_querier_timeout, b, 255000)) << s.source;
		EXPECT_EQ(count_pending(igmp_querier_timeout, b), 1);
		EXPECT_FALSE(pending(igmp_send_general_query, b));
	}
}

TEST_F(IgmpTest, QueryValuesAreAdopted)
{
	struct {
		bytes msg;
		uint32_t robustness, interval, response;
	} cases[] = {
		// v3: QRV 0 means 2, QQIC 0x8f decodes to 248 s.
		{igmp_v3_query("0.0.0.0", 100, 0x00, 0x8f), 2, 248, 100},
		{igmp_v3_query("0.0.0.0", 0x8f, 0x03, 30), 3, 30, 248},
		// v1 (Max Resp Time 0) and v2.
		{igmp_msg(0x11, 0, "0.0.0.0"), 2, 125, 100},
		{igmp_msg(0x11, 50, "0.0.0.0"), 2, 125, 50},
	};
	for (const auto &c : cases) {
		start();
		igmp_interface *b = b_net();
		b->robustness = 7; // show that every value is written
		b->query_interval = 1;
		receive(b, igmp_frame("10.0.0.1", c.msg));
		EXPECT_EQ(b->robustness, c.robustness);
		EXPECT_EQ(b->query_interval, c.interval);
		EXPECT_EQ(b->query_response_interval, c.response);
		EXPECT_TRUE(armed(igmp_querier_timeout, b,
				  (c.interval * c.robustness + c.response / 20) * 1000));
		TearDown();
		SetUp();
	}
}

TEST_F(IgmpTest, V3QueryFromTheQuerierUpdatesValues)
{
	igmp_querier_mode = querier_delay;
	start();
	igmp_interface *b = b_net();
	receive(b, igmp_frame("10.0.0.1", igmp_v3_query("0.0.0.0", 100, 2, 125)));
	receive(b, igmp_frame("10.0.0.1", igmp_v3_query("0.0.0.0", 20, 4, 60)));
	EXPECT_EQ(b->robustness, 4u);
	EXPECT_EQ(b->query_interval, 60u);
	EXPECT_EQ(b->query_response_interval, 20u);
	EXPECT_TRUE(armed(igmp_querier_timeout, b, (60 * 4 + 1) * 1000));
	// A v2 query of the same querier keeps them.
	receive(b, igmp_frame("10.0.0.1", igmp_msg(0x11, 100, "0.0.0.0")));
	EXPECT_EQ(b->robustness, 4u);
	EXPECT_EQ(b->query_interval, 60u);
}

TEST_F(IgmpTest, GroupSpecificQueryOfAnotherQuerierLowersTheGroupTimer)
{
	igmp_querier_mode = querier_delay;
	start();
	igmp_interface *b = b_net();
	igmp_group *g = group(b, "239.1.1.1");
	receive(b, igmp_frame("10.0.0.77", igmp_msg(0x16, 0, "239.1.1.1")));
	uint32_t learned_before = b->group_count;

	struct {
		bytes msg;
		bool lowers;
	} cases[] = {
		{igmp_v3_query("239.1.1.1", 10, 0x0a, 125), false}, // S set
		{igmp_v3_query("0.0.0.0", 10, 0x02, 125), false},   // general
		{igmp_msg(0x11, 10, "224.0.0.9"), false},           // local group
		{igmp_msg(0x11, 10, "239.2.2.2"), false},           // inactive group
		{igmp_msg(0x11, 10, "239.1.1.1"), true},            // v2 group-specific
	};
	for (const auto &c : cases) {
		receive(b, igmp_frame("10.0.0.77", igmp_msg(0x16, 0, "239.1.1.1")));
		evm_timer was = *evm_find_timer(igmp_evm, igmp_group_timeout, g);
		receive(b, igmp_frame("10.0.0.1", c.msg));
		ASSERT_EQ(count_pending(igmp_group_timeout, g), 1);
		if (c.lowers) {
			// RV x QRI x 100 + 10: RV 2 and QRI 10 from the earlier v3 queries.
			EXPECT_TRUE(armed(igmp_group_timeout, g, 2 * 10 * 100 + 10));
		} else {
			const evm_timer *t = evm_find_timer(igmp_evm, igmp_group_timeout, g);
			EXPECT_EQ(t->expiry_sec, was.expiry_sec);
			EXPECT_EQ(t->expiry_nsec, was.expiry_nsec);
		}
	}
	EXPECT_EQ(b->group_count, learned_before);
}

TEST_F(IgmpTest, InjectionFailureIsLoggedAndTheScheduleGoesOn)
{
	start();
	igmp_inject_result = -1;
	igmp_interface *b = b_net();
	b->startup_query_count = 0;
	EXPECT_EQ(log_of(igmp_send_general_query, b),
		  "IGMP(b-net): pcap_inject failed: no capture handle\n");
	EXPECT_TRUE(armed(igmp_send_general_query, b, 125000));
}
