// MLD frame checks: crafted frames into the receive path, each rejection
// with its exact diagnostic and no change of state; dispatch; the filter.
#include "mld_fixture.h"

#include <functional>

namespace {

const bytes report = mld_v1(131, "ff05::1");

bytes head(const bytes &b, size_t n)
{
	return bytes(b.begin(), b.begin() + (long)n);
}

bytes with(bytes f, std::function<void(bytes &)> change)
{
	change(f);
	return f;
}

bytes bare_header(uint8_t next_header, uint16_t payload_length)
{
	bytes f = mld_frame(report);
	f.resize(54);
	f[20] = next_header;
	put16(f, 18, payload_length);
	return f;
}

struct reject_case {
	const char *name;
	bytes frame;
	const char *log; // empty: dropped silently
};

#define FROM "MLD(veth-b) [fe80::9]: "

std::vector<reject_case> reject_cases()
{
	mld_frame_opts global, hop255, own, site_local, alert_late, hbh16, no_alert, hbh_udp;
	global.source = "2001:db8::9";
	hop255.hop_limit = 255;
	own.source = "fe80::2";
	site_local.source = "fec0::9";
	hbh16.hbh = {58, 1, 5, 2, 0, 0, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0};
	no_alert.hbh = {58, 0, 1, 4, 0, 0, 0, 0};
	alert_late.hbh = {58, 0, 1, 1, 0, 5, 2, 0}; // alert at offset 59: not where we look
	hbh_udp.hbh = {17, 0, 5, 2, 0, 0, 1, 0};
	return {
		{"53Bytes", head(mld_frame(report), 53),
		 "MLD(veth-b) [unknown]: Packet too short to contain an IPv6 header\n"},
		{"NotIpv6", with(mld_frame(report), [](bytes &f) { f[13] = 0x00; }),
		 "MLD(veth-b) [unknown]: Packet is not an IPv6 packet\n"},
		{"GlobalSource", mld_frame(report, global), ""},
		{"SiteLocalSource", mld_frame(report, site_local), ""},
		{"HopLimit255", mld_frame(report, hop255), ""},
		{"OwnSource", mld_frame(report, own), ""},
		{"BareHeaderNoHopByHop", bare_header(58, 0),
		 FROM "Next header in packet is not Hop-by-Hop\n"},
		{"BareHeaderEmptyPayload", bare_header(0, 0),
		 FROM "Packet too short to contain a Hop-by-Hop header\n"},
		{"BareHeaderClaimsPayload", bare_header(0, 32), FROM "IP packet overrun\n"},
		{"PayloadOneBeyondCapture",
		 with(mld_frame(report), [](bytes &f) { put16(f, 18, (uint32_t)f.size() - 53); }),
		 FROM "IP packet overrun\n"},
		{"HopByHop16Bytes", mld_frame(report, hbh16),
		 FROM "Packet does not contain a Router Alert option\n"},
		{"NoRouterAlert", mld_frame(report, no_alert),
		 FROM "Packet does not contain a Router Alert option\n"},
		{"RouterAlertAtOddOffset", mld_frame(report, alert_late),
		 FROM "Packet does not contain a Router Alert option\n"},
		{"HopByHopNotIcmp6", mld_frame(report, hbh_udp),
		 FROM "Packet without next header of ICMP6 in Hop-by-Hop header\n"},
		{"Icmp6ThreeBytes", mld_frame(bytes{131, 0, 0}),
		 FROM "Packet too short to contain an ICMP6/MLD header\n"},
		{"CorruptChecksum", with(mld_frame(report), [](bytes &f) { f[65] ^= 0x01; }),
		 FROM "ICMP6/MLD checksum error\n"},
		{"CorruptGroupByte", with(mld_frame(report), [](bytes &f) { f[85] ^= 0x40; }),
		 FROM "ICMP6/MLD checksum error\n"},
		{"UnknownType", mld_frame(mld_v1(151, "ff05::1")), FROM "Unknown MLD type received\n"},
		{"ShortV1Report", mld_frame(head(report, 23)),
		 FROM "Packet too short to contain an MLD v1 report\n"},
		{"ShortDone", mld_frame(head(mld_v1(132, "ff05::1"), 23)),
		 FROM "Packet too short to contain an MLD done\n"},
		{"ShortV2Report", mld_frame(bytes{143, 0, 0, 0, 0, 0, 0}),
		 FROM "Packet too short to contain an MLD v2 report\n"},
		{"ShortQuery", mld_frame(head(mld_query("ff05::1", 0, 2, 125), 23)),
		 FROM "Packet too short to contain an MLD query\n"},
	};
}

} // namespace

class mld_reject : public mld_fixture, public ::testing::WithParamInterface<size_t> {};

TEST_P(mld_reject, ExactDiagnosticAndNoStateChange)
{
	std::vector<reject_case> cases = reject_cases();
	const reject_case &c = cases[GetParam()];
	SCOPED_TRACE(c.name);
	build({"ff05::1"});
	start(querier_quick);
	mld_interface before = *iface();
	int32_t timers = mld_evm->timer_count;

	::testing::internal::CaptureStderr();
	receive(c.frame);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.log);

	EXPECT_EQ(memcmp(&before, iface(), sizeof before), 0);
	EXPECT_FALSE(iface()->groups[0].active);
	EXPECT_EQ(mld_evm->timer_count, timers);
	EXPECT_TRUE(mld_sent.empty());

	// Below level 2 the same frame is dropped without a word.
	debug_level = 1;
	::testing::internal::CaptureStderr();
	receive(c.frame);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Frames, mld_reject, ::testing::Range<size_t>(0, reject_cases().size()),
			 [](const ::testing::TestParamInfo<size_t> &info) {
				 return std::string(reject_cases()[info.param].name);
			 });

struct accept_case {
	const char *name;
	bytes frame;
	const char *source = "fe80::9";
};

class mld_accept : public mld_fixture, public ::testing::WithParamInterface<accept_case> {};

TEST_P(mld_accept, ReportReachesItsHandler)
{
	build({"ff05::1"});
	start(querier_quick);
	::testing::internal::CaptureStderr();
	receive(GetParam().frame);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  std::string("MLD(veth-b) [") + GetParam().source +
			  "]: received v1 report [group ff05::1]\n"
			  "Bridge(IPv6/5000): Activating outbound interface veth-b (dynamic)\n");
	EXPECT_TRUE(iface()->groups[0].active);
}

INSTANTIATE_TEST_SUITE_P(
	Frames, mld_accept,
	::testing::Values(accept_case{"RouterAlertFirst", mld_frame(report)},
			  accept_case{"PadNBeforeRouterAlert",
				      mld_frame(report, {.hbh = {58, 0, 1, 0, 5, 2, 0, 0}})},
			  accept_case{"LinkPadding", cat({mld_frame(report), bytes(6, 0xee)})},
			  accept_case{"AnyDestination",
				      mld_frame(report, {.destination = "ff05::1"})},
			  accept_case{"SourceAtTopOfFe80Slash10",
				      mld_frame(report, {.source = "febf::9"}), "febf::9"}),
	[](const ::testing::TestParamInfo<accept_case> &info) {
		return std::string(info.param.name);
	});

using mld_dispatch = mld_fixture;

TEST_F(mld_dispatch, EachTypeReachesItsHandler)
{
	build({"ff05::1"});
	start(querier_quick);
	struct {
		bytes msg;
		const char *log;
	} cases[] = {
		{mld_v1(132, "ff05::1"), "MLD(veth-b) [fe80::9]: received v1 done [group ff05::1]\n"},
		{mld_v2_report({{4, "ff05::1", 0, 0}}),
		 "MLD(veth-b) [fe80::9]: received v2 report type 4 [group ff05::1]\n"
		 "Bridge(IPv6/5000): Activating outbound interface veth-b (dynamic)\n"},
		{mld_query("ff05::1", 1000, 0x02, 125),
		 "MLD(veth-b) [fe80::9]: received v2 query [group ff05::1]\n"},
		{bytes{152, 0, 0, 0},
		 "MLD(veth-b) [fe80::9]: received Multicast Router Solicitation\n"
		 "MLD(veth-b) [fe80::2]: sending Multicast Router Discovery advertisement\n"},
	};
	for (const auto &c : cases) {
		::testing::internal::CaptureStderr();
		receive(mld_frame(c.msg));
		EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.log);
	}
}

TEST_F(mld_dispatch, HandlerSeesOnlyThePayloadNotTheLinkPadding)
{
	// One record announced but none inside the payload: the bytes that
	// follow in the capture are padding and must not be read as a record.
	build({"ff05::1"});
	start(querier_quick);
	bytes msg = mld_v2_report({});
	put16(msg, 6, 1);
	bytes padding = mld_v2_report({{4, "ff05::1", 0, 0}});
	padding.erase(padding.begin(), padding.begin() + 8);
	::testing::internal::CaptureStderr();
	receive(cat({mld_frame(msg), padding}));
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "MLD(veth-b) [fe80::9]: Group record header overrun in MLD v2 report\n");
	EXPECT_FALSE(iface()->groups[0].active);
}

TEST(mld_filter, PassesTheFiveHandledTypesBehindHopByHop)
{
	pcap_t *p = pcap_open_dead(DLT_EN10MB, 65535);
	ASSERT_NE(p, nullptr);
	bpf_program prog;
	ASSERT_EQ(pcap_compile(p, &prog, mld_capture_filter, 1, PCAP_NETMASK_UNKNOWN), 0)
		<< pcap_geterr(p);
	auto passes = [&](const bytes &f) {
		pcap_pkthdr h{};
		h.caplen = h.len = (uint32_t)f.size();
		return pcap_offline_filter(&prog, &h, f.data()) != 0;
	};
	for (uint8_t type : {130, 131, 132, 143, 152})
		EXPECT_TRUE(passes(mld_frame(mld_v1(type, "ff05::1")))) << (int)type;
	for (uint8_t type : {128, 133, 151, 153})
		EXPECT_FALSE(passes(mld_frame(mld_v1(type, "ff05::1")))) << (int)type;
	// ICMPv6 straight behind IPv6, no Hop-by-Hop header.
	bytes direct = mld_frame(report);
	direct[20] = 58;
	direct.erase(direct.begin() + 54, direct.begin() + 62);
	EXPECT_FALSE(passes(direct));
	pcap_freecode(&prog);
	pcap_close(p);
}

TEST_F(mld_dispatch, InjectFailureIsLoggedAtEveryLevelAndTheCycleGoesOn)
{
	build({"ff05::1"});
	start(querier_quick);
	mld_inject_hook = nullptr;
	iface()->pcap = pcap_open_dead(DLT_EN10MB, 65535); // cannot send
	debug_level = 0;
	evm_del_timer(mld_evm, mld_send_general_query, iface());
	::testing::internal::CaptureStderr();
	mld_send_general_query(iface());
	std::string log = ::testing::internal::GetCapturedStderr();
	EXPECT_EQ(log, std::string("MLD(veth-b): pcap_inject failed: ") + pcap_geterr(iface()->pcap) +
			       "\n");
	EXPECT_PENDING(125000, mld_send_general_query, iface());
	pcap_close(iface()->pcap);
	iface()->pcap = nullptr;
}
