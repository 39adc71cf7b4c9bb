// MLD capture: one live libpcap capture per interface, the layer-by-layer
// checks of each captured frame, dispatch by ICMPv6 type, and injection.
#include <cstring>

#include "core/core.h"
#include "mld/mld.h"

// IPv6 whose first extension header (offset 40) is Hop-by-Hop with ICMPv6
// behind it, and whose ICMPv6 type behind an 8-byte Hop-by-Hop header is
// one we handle.
const char mld_capture_filter[] =
	"ip6 && ip6[40] == 58 && (ip6[48] == 130 || ip6[48] == 131 || ip6[48] == 132 || "
	"ip6[48] == 143 || ip6[48] == 152)";

int (*mld_inject_hook)(mld_interface *i, const uint8_t *frame, size_t len);

enum : size_t {
	off_ethertype = 12,
	off_payload_length = 18,
	off_next_header = 20,
	off_hop_limit = 21,
	off_source = 22,
	off_destination = 38,
	off_hbh = 54,   // Hop-by-Hop Options header
	off_icmp6 = 62, // behind an 8-byte Hop-by-Hop header
};

void mld_open_capture(mld_interface *i)
{
	pcap_t *p = packet_open_capture(i->name, mld_capture_filter);
	int fd = pcap_get_selectable_fd(p);
	if (fd < 0)
		log_fatal("pcap_get_selectable_fd for MLD interface %s failed: %s\n", i->name,
			  pcap_geterr(p));
	evm_add_fd(mld_evm, fd, mld_receive, i);
	i->pcap = p;
}

void mld_packet_error(mld_interface *i, const uint8_t *source, const char *text)
{
	if (debug_level < log_level_state)
		return;
	char addr[46];
	log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(source, addr), text);
}

void mld_receive(void *arg)
{
	mld_interface *i = static_cast<mld_interface *>(arg);
	pcap_pkthdr hdr;
	// One frame per readiness event: a busy link cannot starve the timers.
	const u_char *bytes = pcap_next(i->pcap, &hdr);
	if (bytes == nullptr)
		return;
	mld_receive_frame(i, pkt_view{std::span<const uint8_t>(bytes, hdr.caplen)});
}

static bool mld_link_local(const uint8_t *a)
{
	return a[0] == 0xfe && (a[1] & 0xc0) == 0x80;
}

void mld_receive_frame(mld_interface *i, pkt_view frame)
{
	size_t caplen = pkt_len(frame);
	// Each offset read below is covered by an earlier length check: 54
	// bytes for the fixed headers, 54 + Payload Length >= 62 from the
	// overrun and Hop-by-Hop checks on.
	if (caplen <= 53) {
		mld_packet_error(i, nullptr, "Packet too short to contain an IPv6 header");
		return;
	}
	if (pkt_u16(frame, off_ethertype) != 0x86dd) {
		mld_packet_error(i, nullptr, "Packet is not an IPv6 packet");
		return;
	}

	// RFC 3810 §5: valid MLD messages come from link-local sources with Hop
	// Limit 1. Our own frames come back through the capture.
	const uint8_t *src = pkt_ptr(frame, off_source);
	if (!mld_link_local(src))
		return;
	if (pkt_u8(frame, off_hop_limit) != 1)
		return;
	if (memcmp(src, i->address, 16) == 0)
		return;

	uint32_t payload = pkt_u16(frame, off_payload_length);
	// RFC 3810 §5: MLD messages carry the Router Alert option, so the first
	// header behind IPv6 must be Hop-by-Hop.
	if (pkt_u8(frame, off_next_header) != 0) {
		mld_packet_error(i, src, "Next header in packet is not Hop-by-Hop");
		return;
	}
	if (caplen - 54 < payload) {
		mld_packet_error(i, src, "IP packet overrun");
		return;
	}
	if (payload <= 7) {
		mld_packet_error(i, src, "Packet too short to contain a Hop-by-Hop header");
		return;
	}
	// Router Alert (RFC 2711) first, or behind a 2-byte PadN, in an 8-byte header.
	if (pkt_u8(frame, off_hbh + 1) != 0 ||
	    (pkt_u8(frame, off_hbh + 2) != 5 && pkt_u8(frame, off_hbh + 4) != 5)) {
		mld_packet_error(i, src, "Packet does not contain a Router Alert option");
		return;
	}
	if (pkt_u8(frame, off_hbh) != 58) {
		mld_packet_error(i, src, "Packet without next header of ICMP6 in Hop-by-Hop header");
		return;
	}
	size_t icmp_len = payload - 8;
	if (icmp_len <= 3) {
		mld_packet_error(i, src, "Packet too short to contain an ICMP6/MLD header");
		return;
	}
	// Link padding beyond the IPv6 payload never reaches a handler.
	pkt_view msg = pkt_sub(frame, off_icmp6, icmp_len);
	if (icmp6_checksum(pkt_ptr(msg, 0), (int32_t)icmp_len, src,
			   pkt_ptr(frame, off_destination), 58) != 0) {
		mld_packet_error(i, src, "ICMP6/MLD checksum error");
		return;
	}

	switch (pkt_u8(msg, 0)) {
	case 130:
		mld_handle_query(i, src, msg);
		return;
	case 131:
		mld_handle_v1_report(i, src, msg);
		return;
	case 132:
		mld_handle_done(i, src, msg);
		return;
	case 143:
		mld_handle_v2_report(i, src, msg);
		return;
	case 152:
		mld_handle_mrd_solicitation(i, src);
		return;
	default:
		mld_packet_error(i, src, "Unknown MLD type received");
		return;
	}
}

void mld_inject(mld_interface *i, const uint8_t *frame, size_t len)
{
	int r = mld_inject_hook != nullptr ? mld_inject_hook(i, frame, len)
					   : pcap_inject(i->pcap, frame, len);
	if (r == -1)
		log_warn("MLD(%s): pcap_inject failed: %s\n", i->name,
			 i->pcap != nullptr ? pcap_geterr(i->pcap) : "no capture");
}

void mld_build_frame_header(uint8_t *f, const mld_interface *i, const uint8_t dst_mac[6],
			    const uint8_t dst[16], uint16_t payload_length)
{
	memcpy(f, dst_mac, 6);
	memcpy(f + 6, i->hwaddr, 6);
	f[12] = 0x86;
	f[13] = 0xdd;
	f[14] = 0x60; // version 6, traffic class 0, flow label 0
	f[15] = f[16] = f[17] = 0;
	f[18] = (uint8_t)(payload_length >> 8);
	f[19] = (uint8_t)payload_length;
	f[20] = 0; // Hop-by-Hop Options
	f[21] = 1; // RFC 3810 §5: Hop Limit 1
	memcpy(f + 22, i->address, 16);
	memcpy(f + 38, dst, 16);
	f[54] = 58; // ICMPv6
	f[55] = 0;  // 8 bytes
	f[56] = 5;  // Router Alert, RFC 2711
	f[57] = 2;
	f[58] = 0; // value 0: MLD
	f[59] = 0;
	f[60] = 1; // PadN fills the header to 8 bytes
	f[61] = 0;
}
