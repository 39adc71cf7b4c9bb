// MLD router discovery: the advertisement byte for byte, its schedule, and
// solicitations answered at once with one advertisement timer left.
#include "mld_fixture.h"

using mld_mrd = mld_fixture;

namespace {

// Worked out by hand: fe80::2 / 02:00:00:00:00:02 to ff02::6a.
const uint8_t advert[70] = {
	0x33, 0x33, 0x00, 0x00, 0x00, 0x6a, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x86, 0xdd,
	0x60, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x01, 0xfe, 0x80, 0x00, 0x00, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xff, 0x02, 0x00, 0x00,
	0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x6a, 0x3a, 0x00,
	0x05, 0x02, 0x00, 0x00, 0x01, 0x00, 0x97, 0x14, 0x6a, 0x3a, 0x00, 0x7d, 0x00, 0x02};

} // namespace

TEST_F(mld_mrd, AdvertisesAtStartInEveryModeThenTwiceQuicklyThenSlowly)
{
	for (uint32_t mode : {querier_never, querier_quick, querier_delay, querier_defer}) {
		build({"ff05::1"});
		mld_querier_mode = mode;
		mld_seed_random(42);
		mld_start_interface(iface());
		ASSERT_GE(mld_sent.size(), 1u);
		EXPECT_EQ(mld_sent[0], bytes(advert, advert + 70)) << "mode " << mode;
		mld_sent.clear();
		for (int n = 0; n < 2; n++) {
			int64_t left = pending(mld_send_mrd_advert, iface());
			EXPECT_GE(left, 0);
			EXPECT_LT(left, 2000);
			fire(mld_send_mrd_advert, iface());
		}
		for (int n = 0; n < 20; n++) {
			int64_t left = pending(mld_send_mrd_advert, iface());
			EXPECT_GE(left, 19500 - 50);
			EXPECT_LT(left, 20500);
			fire(mld_send_mrd_advert, iface());
		}
		ASSERT_EQ(mld_sent.size(), 22u);
		for (const bytes &f : mld_sent)
			EXPECT_EQ(f, bytes(advert, advert + 70));
	}
}

TEST_F(mld_mrd, SolicitationsAreAnsweredAtOnceLeavingOneTimer)
{
	build({"ff05::1"});
	start(querier_quick);
	fire(mld_send_mrd_advert, iface());
	fire(mld_send_mrd_advert, iface()); // the initial phase is over
	mld_sent.clear();
	for (int n = 0; n < 5; n++)
		receive(mld_frame(bytes{152, 0, 0, 0}, {.destination = "ff02::2"}));
	EXPECT_EQ(mld_sent.size(), 5u);
	int count = 0;
	for (int32_t n = 0; n < mld_evm->timer_count; n++)
		count += mld_evm->timers[n].callback == mld_send_mrd_advert;
	EXPECT_EQ(count, 1);
	int64_t left = pending(mld_send_mrd_advert, iface());
	EXPECT_GE(left, 19500 - 50);
	EXPECT_LT(left, 20500);
}

TEST_F(mld_mrd, SolicitationDuringTheInitialPhaseUsesAnInitialInterval)
{
	build({"ff05::1"});
	start(querier_quick);
	receive(mld_frame(bytes{152, 0, 0, 0}));
	EXPECT_EQ(iface()->mrd_initial_count, 0u);
	EXPECT_LT(pending(mld_send_mrd_advert, iface()), 2000);
	fire(mld_send_mrd_advert, iface());
	EXPECT_GE(pending(mld_send_mrd_advert, iface()), 19500 - 50);
}
