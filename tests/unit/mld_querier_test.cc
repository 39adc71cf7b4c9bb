// MLD querier: the frames byte for byte, the four modes, election by
// address as a 128-bit number, and the timer values taken from queries.
#include "mld_fixture.h"

#include <cstdlib>

namespace {

bytes hex(const char *text)
{
	bytes out;
	for (const char *p = text; p[0] && p[1]; p += 2)
		out.push_back((uint8_t)strtoul(std::string(p, 2).c_str(), nullptr, 16));
	return out;
}

// Worked out by hand: fe80::2 / 02:00:00:00:00:02 to ff02::1.
const char general_query_hex[] =
	"33330000000102000000000286dd6000000000240001fe800000000000000000000000000002"
	"ff0200000000000000000000000000013a00050200000100820056952710000000000000000000"
	"000000000000000000027d0000";

bytes query_from(const char *source, bytes msg)
{
	return mld_frame(msg, {.source = source});
}

bool same(const uint8_t *a, const char *text)
{
	return memcmp(a, ip6(text).data(), 16) == 0;
}

} // namespace

using mld_querier = mld_fixture;

TEST_F(mld_querier, GeneralQueryFrameByteForByte)
{
	build({"ff05::1"});
	mld_querier_mode = querier_quick;
	mld_seed_random(1);
	mld_start_interface(iface());
	ASSERT_EQ(mld_sent.size(), 2u); // advertisement, then the first general query
	EXPECT_EQ(mld_sent[1], hex(general_query_hex));
	EXPECT_EQ(icmp6_checksum(&mld_sent[1][62], 28, &mld_sent[1][22], &mld_sent[1][38], 58), 0);
	// The template differs only where each address-specific query fills it in.
	bytes tmpl(iface()->group_query_frame, iface()->group_query_frame + 90);
	bytes expect = hex(general_query_hex);
	expect[5] = 0;
	memset(&expect[38], 0, 16);
	expect[64] = expect[65] = 0;
	expect[66] = 0x03;
	expect[67] = 0xe8;
	EXPECT_EQ(tmpl, expect);
}

TEST_F(mld_querier, QuickQueriesAtOnceAfterAQuarterThenEveryInterval)
{
	build({"ff05::1"});
	::testing::internal::CaptureStderr();
	start(querier_quick);
	EXPECT_NE(::testing::internal::GetCapturedStderr().find(
			  "MLD(veth-b) [fe80::2]: Querier mode activated\n"
			  "MLD(veth-b) [fe80::2]: sending general query\n"),
		  std::string::npos);
	EXPECT_TRUE(same(iface()->querier_address, "fe80::2"));
	EXPECT_PENDING(31250, mld_send_general_query, iface());
	EXPECT_EQ(pending(mld_querier_timeout, iface()), -1);
	fire(mld_send_general_query, iface());
	ASSERT_EQ(mld_sent.size(), 1u);
	EXPECT_EQ(mld_sent[0], hex(general_query_hex));
	EXPECT_PENDING(125000, mld_send_general_query, iface());
	fire(mld_send_general_query, iface());
	EXPECT_EQ(mld_sent.size(), 2u);
	EXPECT_PENDING(125000, mld_send_general_query, iface());
}

TEST_F(mld_querier, DelayTakesOverAfterTheStartUpDelay)
{
	for (uint32_t mode : {querier_delay, querier_defer}) {
		build({"ff05::1"});
		start(mode);
		EXPECT_TRUE(same(iface()->querier_address, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
		EXPECT_EQ(pending(mld_send_general_query, iface()), -1);
		EXPECT_PENDING(125500, mld_querier_timeout, iface());
		debug_level = 2;
		::testing::internal::CaptureStderr();
		fire(mld_querier_timeout, iface());
		EXPECT_EQ(::testing::internal::GetCapturedStderr(),
			  "MLD(veth-b) [ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]: Querier timeout\n"
			  "MLD(veth-b) [fe80::2]: Querier mode activated\n");
		ASSERT_EQ(mld_sent.size(), 1u);
		EXPECT_EQ(mld_sent[0], hex(general_query_hex));
		EXPECT_PENDING(31250, mld_send_general_query, iface());
		debug_level = 3;
	}
}

TEST_F(mld_querier, NeverFollowsTheQuerierButNeverQueries)
{
	build({"ff05::1"});
	start(querier_never);
	EXPECT_EQ(mld_evm->timer_count, 1); // only the advertisement
	receive(query_from("fe80::5", mld_query("::", 4000, 0x03, 60)));
	EXPECT_TRUE(same(iface()->querier_address, "fe80::5"));
	EXPECT_EQ(iface()->robustness, 3u);
	EXPECT_PENDING(3 * 60000 + 2000, mld_querier_timeout, iface());
	debug_level = 2;
	::testing::internal::CaptureStderr();
	fire(mld_querier_timeout, iface());
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "MLD(veth-b) [fe80::5]: Querier timeout\n"
		  "MLD(veth-b) [fe80::2]: Querier mode disabled\n");
	EXPECT_TRUE(same(iface()->querier_address, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
	EXPECT_EQ(iface()->robustness, 3u); // values are left as they are
	EXPECT_EQ(pending(mld_send_general_query, iface()), -1);
	EXPECT_EQ(pending(mld_querier_timeout, iface()), -1);
	for (const bytes &f : mld_sent)
		EXPECT_EQ(f[62], 151) << "only advertisements";
}

struct election_case {
	const char *name;
	uint32_t mode;
	const char *daemon;
	const char *source;
	bool yields;
};

class mld_election : public mld_fixture, public ::testing::WithParamInterface<election_case> {};

TEST_P(mld_election, WhileQuerier)
{
	const election_case &c = GetParam();
	build({"ff05::1"}, c.daemon);
	start(querier_quick);
	mld_querier_mode = c.mode; // delay and defer behave as quick once querier
	debug_level = 2;
	::testing::internal::CaptureStderr();
	receive(query_from(c.source, mld_query("::", 5000, 0x04, 30)));
	std::string log = ::testing::internal::GetCapturedStderr();
	if (!c.yields) {
		EXPECT_EQ(log, "");
		EXPECT_TRUE(same(iface()->querier_address, c.daemon));
		EXPECT_EQ(iface()->robustness, 2u); // nothing taken over
		EXPECT_EQ(iface()->query_interval, 125u);
		EXPECT_PENDING(31250, mld_send_general_query, iface());
		EXPECT_EQ(pending(mld_querier_timeout, iface()), -1);
		return;
	}
	EXPECT_EQ(log, std::string("MLD(veth-b) [") + c.source + "]: New querier elected\n");
	EXPECT_TRUE(same(iface()->querier_address, c.source));
	EXPECT_EQ(iface()->robustness, 4u);
	EXPECT_EQ(iface()->query_interval, 30u);
	EXPECT_EQ(iface()->query_response_interval, 5000u);
	EXPECT_EQ(pending(mld_send_general_query, iface()), -1);
	EXPECT_PENDING(4 * 30000 + 2500, mld_querier_timeout, iface());
}

INSTANTIATE_TEST_SUITE_P(
	Sources, mld_election,
	::testing::Values(election_case{"LowerYields", querier_quick, "fe80::2", "fe80::1", true},
			  election_case{"HigherIgnored", querier_quick, "fe80::2", "fe80::3", false},
			  election_case{"HigherIgnoredInDelay", querier_delay, "fe80::2", "fe80::3",
					false},
			  election_case{"HigherYieldsInDefer", querier_defer, "fe80::2", "fe80::3",
					true},
			  // 128-bit order: the first differing byte decides, not the last.
			  election_case{"FirstByteDecides", querier_quick, "fe80::1:0", "fe80::ff",
					true},
			  election_case{"FirstByteDecidesUp", querier_quick, "fe80::ff",
					"fe80::1:0", false},
			  election_case{"TopOfPrefixIsHigher", querier_quick, "fe80::2", "febf::1",
					false}),
	[](const ::testing::TestParamInfo<election_case> &info) {
		return std::string(info.param.name);
	});

TEST_F(mld_querier, ResumesAtOnceWhenTheLowerQuerierFallsSilent)
{
	build({"ff05::1"});
	start(querier_quick);
	receive(query_from("fe80::1", mld_v1(130, "::"))); // MLDv1: defaults
	EXPECT_PENDING(255000, mld_querier_timeout, iface());
	debug_level = 2;
	::testing::internal::CaptureStderr();
	fire(mld_querier_timeout, iface());
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "MLD(veth-b) [fe80::1]: Querier timeout\n"
		  "MLD(veth-b) [fe80::2]: Querier mode activated\n");
	ASSERT_EQ(mld_sent.size(), 1u);
	EXPECT_EQ(mld_sent[0], hex(general_query_hex));
	EXPECT_TRUE(same(iface()->querier_address, "fe80::2"));
	EXPECT_PENDING(31250, mld_send_general_query, iface());
}

TEST_F(mld_querier, VersionOneResetsValuesOnlyForANewQuerier)
{
	build({"ff05::1"});
	start(querier_delay);
	receive(query_from("fe80::5", mld_query("::", 5000, 0x03, 60)));
	EXPECT_EQ(iface()->robustness, 3u);
	receive(query_from("fe80::5", mld_v1(130, "::"))); // the known querier
	EXPECT_EQ(iface()->robustness, 3u);
	EXPECT_EQ(iface()->query_interval, 60u);
	EXPECT_EQ(iface()->query_response_interval, 5000u);
	EXPECT_PENDING(3 * 60000 + 2500, mld_querier_timeout, iface());
	receive(query_from("fe80::6", mld_v1(130, "::"))); // higher: no change
	EXPECT_TRUE(same(iface()->querier_address, "fe80::5"));
	EXPECT_EQ(iface()->robustness, 3u);
	// 24 to 27 bytes are all MLDv1; a new, lower querier brings the defaults.
	bytes v1 = mld_v1(130, "::");
	v1.resize(27, 0x07);
	receive(query_from("fe80::4", v1));
	EXPECT_TRUE(same(iface()->querier_address, "fe80::4"));
	EXPECT_EQ(iface()->robustness, 2u);
	EXPECT_EQ(iface()->query_interval, 125u);
	EXPECT_EQ(iface()->query_response_interval, 10000u);
	EXPECT_PENDING(255000, mld_querier_timeout, iface());
}

TEST_F(mld_querier, VersionTwoValuesAreDecoded)
{
	build({"ff05::1"});
	start(querier_delay);
	// A losing router's values are taken over as well.
	receive(query_from("fe80::5", mld_query("::", 1000, 0x02, 125)));
	receive(query_from("fe80::6", mld_query("::", 0x8000, 0x08, 0x8f)));
	EXPECT_TRUE(same(iface()->querier_address, "fe80::5"));
	EXPECT_EQ(iface()->robustness, 2u); // QRV 0
	EXPECT_EQ(iface()->query_interval, 248u);
	EXPECT_EQ(iface()->query_response_interval, 32768u);
	EXPECT_PENDING(2 * 248000 + 16384, mld_querier_timeout, iface());
}

TEST_F(mld_querier, AddressSpecificQueryLowersAnActiveGroupTimer)
{
	build({"ff05::1", "ff05::2"});
	start(querier_delay);
	receive(mld_frame(mld_v1(131, "ff05::1")));
	EXPECT_PENDING(260010, mld_group_timeout, &iface()->groups[0]);
	// S set: the timers stay.
	receive(query_from("fe80::5", mld_query("ff05::1", 3000, 0x0b, 125)));
	EXPECT_PENDING(260010, mld_group_timeout, &iface()->groups[0]);
	receive(query_from("fe80::5", mld_query("ff05::1", 3000, 0x03, 125)));
	EXPECT_PENDING(3000 * 3 + 10, mld_group_timeout, &iface()->groups[0]);
	// An inactive group gets no timer.
	receive(query_from("fe80::5", mld_query("ff05::2", 3000, 0x03, 125)));
	EXPECT_EQ(pending(mld_group_timeout, &iface()->groups[1]), -1);
}

TEST(mld_random, SeededAsSrand48Would)
{
	mld_seed_random(0x12345678);
	EXPECT_EQ(mld_rand_state[0], 0x330e);
	EXPECT_EQ(mld_rand_state[1], 0x5678);
	EXPECT_EQ(mld_rand_state[2], 0x1234);
	srand48(0x12345678);
	for (int n = 0; n < 5; n++)
		EXPECT_EQ(nrand48(mld_rand_state), lrand48());
}
