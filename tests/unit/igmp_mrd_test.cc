// IGMP multicast router discovery: the advertisement frame, its schedule,
// solicitations.
#include "igmp_fixture.h"

namespace {

const bytes advert_b_net = {
	0x01, 0x00, 0x5e, 0x00, 0x00, 0x6a, 0x02, 0x00, 0x00, 0x00, 0x00, 0x11, 0x08, 0x00, // ether
	0x46, 0xc0, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0xf9, 0xa8,             // ip
	10, 0, 0, 5, 224, 0, 0, 106, 0x94, 0x04, 0x00, 0x00,                               // ip
	0x30, 20, 0xcf, 0x6c, 0x00, 125, 0x00, 0x02,                                       // mrd
};

} // namespace

TEST_F(IgmpTest, AdvertisementFrameByteForByteAndSelfDropped)
{
	prepare();
	igmp_interface *b = b_net();
	EXPECT_EQ(bytes(b->mrd_advert_frame, b->mrd_advert_frame + 46), advert_b_net);
	// Captured back on its own interface it is the daemon's own packet; on
	// another it passes every check and is ignored as an advertisement.
	debug_level = 4;
	testing::internal::CaptureStderr();
	receive(b, advert_b_net);
	receive(c_net(), advert_b_net);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(IgmpTest, AdvertisementScheduleInEveryMode)
{
	for (uint32_t mode : {querier_never, querier_quick}) {
		igmp_querier_mode = mode;
		debug_level = 3;
		testing::internal::CaptureStderr();
		mark();
		start(true);
		std::string log = igmp_lines(testing::internal::GetCapturedStderr());
		igmp_interface *b = b_net();
		EXPECT_EQ(log.rfind("IGMP(b-net) [10.0.0.5]: sending Multicast Router Discovery "
				    "advertisement\n",
				    0),
			  0u)
			<< log;
		ASSERT_FALSE(igmp_sent.empty());
		EXPECT_EQ(igmp_sent[0].data, advert_b_net);
		EXPECT_EQ(b->mrd_initial_count, 1u);
		// Two more at 0 to 1999 ms, then 19500 to 20499 ms; always one pending.
		for (int i = 0; i < 6; i++) {
			if (i > 0)
				fire(igmp_send_mrd_advert, b);
			const evm_timer *t = evm_find_timer(igmp_evm, igmp_send_mrd_advert, b);
			ASSERT_NE(t, nullptr);
			int64_t ms = evm_ms_left(t, &before);
			if (i < 2) {
				EXPECT_LT(ms, 2000 + 50) << i;
			} else {
				EXPECT_GE(ms, 19500) << i;
				EXPECT_LT(ms, 20500 + 50) << i;
			}
			EXPECT_EQ(count_pending(igmp_send_mrd_advert, b), 1);
		}
		TearDown();
		SetUp();
	}
}

TEST_F(IgmpTest, AdvertisementDelaysFollowTheSeededGenerator)
{
	// start() seeds with time 12345 and pid 678; one draw per interface.
	unsigned short state[3] = {0x330e, 12345 ^ 678, 0};
	uint32_t r1 = (uint32_t)nrand48(state);
	(void)nrand48(state); // c-net's
	uint32_t r3 = (uint32_t)nrand48(state);
	mark();
	start(true);
	igmp_interface *b = b_net();
	EXPECT_TRUE(armed(igmp_send_mrd_advert, b, r1 % 2000));
	fire(igmp_send_mrd_advert, b);
	EXPECT_TRUE(armed(igmp_send_mrd_advert, b, r3 % 2000));
}

TEST_F(IgmpTest, SolicitationIsAnsweredAtOnce)
{
	start();
	igmp_interface *b = b_net();
	b->mrd_initial_count = 0;
	evm_add_timer(igmp_evm, 5000, igmp_send_mrd_advert, b);
	debug_level = 3;
	testing::internal::CaptureStderr();
	receive(b, igmp_frame("10.0.0.77", {0x31, 0, 0xce, 0xff}, "224.0.0.2"));
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "IGMP(b-net) [10.0.0.77]: received Multicast Router Solicitation\n"
		  "IGMP(b-net) [10.0.0.5]: sending Multicast Router Discovery advertisement\n");
	ASSERT_EQ(igmp_sent.size(), 1u);
	EXPECT_EQ(igmp_sent[0].data, advert_b_net);
	EXPECT_EQ(count_pending(igmp_send_mrd_advert, b), 1);
	const evm_timer *t = evm_find_timer(igmp_evm, igmp_send_mrd_advert, b);
	int64_t ms = evm_ms_left(t, &before);
	EXPECT_GE(ms, 19500);
	EXPECT_LT(ms, 20500 + 50);
}
