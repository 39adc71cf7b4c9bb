// IGMP frame checks: each rejected frame gives exactly its diagnostic and
// changes nothing; accepted frames reach their handler with the IGMP
// message only.
#include "igmp_fixture.h"

namespace {

const char *const peer = "10.0.0.77";

bytes good() { return igmp_frame(peer, igmp_msg(0x16, 0, "239.1.1.1")); }

// Replace the IP header fields and recompute the header checksum.
bytes with_ip(bytes f, size_t off, uint8_t value)
{
	f[off] = value;
	fix_checksum(f, 14, (f[14] & 0x0f) * 4, 24);
	return f;
}

bytes with_total_length(bytes f, uint32_t t)
{
	put16(f, 16, t);
	fix_checksum(f, 14, 24, 24);
	return f;
}

// A frame with a header of the given options (a multiple of 4 bytes).
bytes with_options(const bytes &options, const bytes &msg)
{
	bytes f = {0x01, 0x00, 0x5e, 0, 0, 1, 0x02, 0, 0, 0, 0, 0x99, 0x08, 0x00};
	size_t h = 20 + options.size();
	bytes ip = {(uint8_t)(0x40 | h / 4), 0xc0, 0, 0, 0, 0, 0x40, 0, 1, 2, 0, 0};
	put16(ip, 2, (uint32_t)(h + msg.size()));
	f = cat({f, ip, ip4(peer), ip4("224.0.0.22"), options, msg});
	fix_checksum(f, 14, h, 24);
	return f;
}

bytes short_msg(uint8_t type)
{
	bytes m = {type, 0, 0, 0, 239, 1, 1};
	fix_checksum(m, 0, m.size(), 2);
	return igmp_frame(peer, m);
}

struct reject_case {
	const char *name;
	bytes (*make)();
	const char *source; // null: nothing is logged
	const char *text;
};

const reject_case reject_cases[] = {
	{"TooShort", [] { bytes f = good(); f.resize(33); return f; }, "unknown",
	 "Packet too short to contain an IPv4 header"},
	{"NotIpv4", [] { bytes f = good(); f[12] = 0x86; f[13] = 0xdd; return f; }, "unknown",
	 "Packet is not an IPv4 packet"},
	{"OwnSource", [] { return igmp_frame("10.0.0.5", igmp_msg(0x16, 0, "239.1.1.1")); },
	 nullptr, nullptr},
	{"OwnSourceBeforeChecksum",
	 [] { bytes f = igmp_frame("10.0.0.5", igmp_msg(0x16, 0, "239.1.1.1")); f[15] ^= 1; return f; },
	 nullptr, nullptr},
	{"HeaderOverrun", [] { bytes f = good(); f[14] = 0x4f; return f; }, "unknown",
	 "IP header overrun"},
	{"IpChecksum", [] { bytes f = good(); f[15] ^= 0x01; return f; }, peer, "IP checksum error"},
	{"LengthBelowHeader", [] { return with_total_length(good(), 23); }, peer,
	 "IP packet length error"},
	{"LengthBeyondCapture", [] { return with_total_length(good(), 33); }, peer,
	 "IP packet overrun"},
	{"NotIgmp", [] { return with_ip(good(), 23, 17); }, peer, "Packet is not an IGMP packet"},
	{"NoOptions", [] { return with_options({}, igmp_msg(0x16, 0, "239.1.1.1")); }, peer,
	 "IP header too short to contain a Router Alert option"},
	{"RouterAlertNotFirst",
	 [] { return with_options({0x01, 0x94, 0x04, 0, 0, 0, 0, 0}, igmp_msg(0x16, 0, "239.1.1.1")); },
	 peer, "Packet does not contain a Router Alert option"},
	{"RouterAlertWrongLength",
	 [] { return with_options({0x94, 0x08, 0, 0, 0, 0, 0, 0}, igmp_msg(0x16, 0, "239.1.1.1")); },
	 peer, "Packet does not contain a Router Alert option"},
	{"IgmpHeaderShort", [] { return igmp_frame(peer, {0x16, 0xe9, 0xff}); }, peer,
	 "Packet too short to contain an IGMP header"},
	{"IgmpChecksum", [] { bytes f = good(); f[45] ^= 0x01; return f; }, peer,
	 "IGMP checksum error"},
	{"UnknownType", [] { return igmp_frame(peer, igmp_msg(0x13, 0, "239.1.1.1")); }, peer,
	 "Unknown IGMP type received"},
	{"OtherRouterAdvert", [] { return igmp_frame(peer, igmp_msg(0x30, 20, "0.125.0.2")); },
	 nullptr, nullptr},
	{"OtherRouterTermination", [] { return igmp_frame(peer, igmp_msg(0x32, 0, "0.0.0.0")); },
	 nullptr, nullptr},
	{"ShortQuery", [] { return short_msg(0x11); }, peer,
	 "Packet too short to contain an IGMP query"},
	{"ShortV1Report", [] { return short_msg(0x12); }, peer,
	 "Packet too short to contain an IGMP v1 report"},
	{"ShortV2Report", [] { return short_msg(0x16); }, peer,
	 "Packet too short to contain an IGMP v2 report"},
	{"ShortLeave", [] { return short_msg(0x17); }, peer,
	 "Packet too short to contain an IGMP leave"},
	{"ShortV3Report", [] { return short_msg(0x22); }, peer,
	 "Packet too short to contain an IGMP v3 report"},
	{"LocalGroupReport", [] { return igmp_frame(peer, igmp_msg(0x16, 0, "224.0.0.251")); },
	 nullptr, nullptr},
	{"LocalGroupLeave", [] { return igmp_frame(peer, igmp_msg(0x17, 0, "224.0.0.5")); },
	 nullptr, nullptr},
};

void PrintTo(const reject_case &c, std::ostream *os) { *os << c.name; }

// Everything a frame could change: the interface record, its groups, the
// pending timers, the bridge flags, the frames sent.
struct snapshot {
	bytes ifc, groups, timers;
	uint32_t flags;
	size_t sent;
};

} // namespace

class IgmpRejectTest : public IgmpTest, public ::testing::WithParamInterface<reject_case> {
protected:
	snapshot take()
	{
		igmp_interface *b = b_net();
		auto raw = [](const void *p, size_t n) {
			const uint8_t *c = static_cast<const uint8_t *>(p);
			return bytes(c, c + n);
		};
		uint32_t flags = 0;
		for (auto &row : ifs)
			for (auto &bi : row)
				flags = flags << 2 | bi.outbound_active.load() << 1 | bi.inbound_active.load();
		return {raw(b, sizeof *b), raw(b->groups, b->group_capacity * sizeof(igmp_group)),
			raw(igmp_evm->timers, (size_t)igmp_evm->timer_count * sizeof(evm_timer)), flags,
			igmp_sent.size()};
	}
};

TEST_P(IgmpRejectTest, DiagnosticAtLevelTwoAndNoChange)
{
	const reject_case &c = GetParam();
	start(true); // querier, timers pending, so a leave or query would act
	bytes frame = c.make();
	for (uint32_t level : {1u, 2u, 4u}) {
		debug_level = level;
		snapshot s0 = take();
		testing::internal::CaptureStderr();
		receive(b_net(), frame);
		std::string err = testing::internal::GetCapturedStderr();
		std::string want;
		if (c.text != nullptr && level >= 2)
			want = std::string("IGMP(b-net) [") + c.source + "]: " + c.text + "\n";
		EXPECT_EQ(err, want) << "debug level " << level;
		snapshot s1 = take();
		EXPECT_EQ(s0.ifc, s1.ifc);
		EXPECT_EQ(s0.groups, s1.groups);
		EXPECT_EQ(s0.timers, s1.timers);
		EXPECT_EQ(s0.flags, s1.flags);
		EXPECT_EQ(s0.sent, s1.sent);
	}
}

INSTANTIATE_TEST_SUITE_P(Frames, IgmpRejectTest, ::testing::ValuesIn(reject_cases),
			 [](const auto &info) { return std::string(info.param.name); });

TEST_F(IgmpTest, LinkPaddingIsAcceptedAndNeverReachesTheHandler)
{
	start();
	debug_level = 2;
	// A v3 report announcing two records but holding one: the second
	// record would be read from the padding if the handler saw it.
	bytes msg = igmp_v3_report({{2, "239.1.1.1", 0, 0}});
	put16(msg, 6, 2);
	fix_checksum(msg, 0, msg.size(), 2);
	bytes frame = cat({igmp_frame(peer, msg), {2, 0, 0, 0, 239, 2, 2, 2, 0, 0, 0, 0}});
	testing::internal::CaptureStderr();
	receive(b_net(), frame);
	EXPECT_EQ(igmp_lines(testing::internal::GetCapturedStderr()),
		  "IGMP(b-net) [10.0.0.77]: Group record header overrun in IGMP v3 report\n");
	EXPECT_TRUE(group(b_net(), "239.1.1.1")->active);
	EXPECT_FALSE(group(b_net(), "239.2.2.2")->active);
}

TEST_F(IgmpTest, ShortFrameIsReadOnlyWithinItsLength)
{
	// Every prefix of a valid frame, each in its own exact-size buffer:
	// under AddressSanitizer a read past the captured length is fatal.
	start();
	bytes f = igmp_frame(peer, igmp_v3_report({{2, "239.1.1.1", 1, 1}}));
	for (size_t n = 0; n <= f.size(); n++) {
		uint8_t *copy = static_cast<uint8_t *>(malloc(n ? n : 1));
		memcpy(copy, f.data(), n);
		igmp_receive_frame(b_net(), pkt_view{{copy, n}});
		free(copy);
	}
	EXPECT_TRUE(group(b_net(), "239.1.1.1")->active);
}
