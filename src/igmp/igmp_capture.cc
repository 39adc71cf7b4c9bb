// IGMP capture: one libpcap handle per interface for receiving and
// injecting, and the layer-by-layer checks of every captured frame.
#include "igmp/igmp.h"

#include <cstring>

#include "core/core.h"

int (*igmp_inject_hook)(igmp_interface *ifc, const uint8_t *frame, size_t len);

void igmp_open_capture(igmp_interface *ifc)
{
	pcap_t *p = packet_open_capture(ifc->name, "igmp");
	int fd = pcap_get_selectable_fd(p);
	if (fd < 0)
		log_fatal("pcap_get_selectable_fd for IGMP interface %s failed: %s\n", ifc->name,
			  pcap_geterr(p));
	evm_add_fd(igmp_evm, fd, igmp_receive, ifc);
	ifc->pcap = p;
}

void igmp_packet_error(const igmp_interface *ifc, const uint8_t *src, const char *text)
{
	if (debug_level < log_level_state)
		return;
	char buf[16];
	log_warn("IGMP(%s) [%s]: %s\n", ifc->name,
		 src != nullptr ? igmp_addr_text(src, buf) : "unknown", text);
}

void igmp_inject(igmp_interface *ifc, const uint8_t *frame, size_t len)
{
	int rc = igmp_inject_hook != nullptr ? igmp_inject_hook(ifc, frame, len)
					     : pcap_inject(ifc->pcap, frame, len);
	if (rc == -1)
		log_warn("IGMP(%s): pcap_inject failed: %s\n", ifc->name,
			 ifc->pcap != nullptr ? pcap_geterr(ifc->pcap) : "no capture handle");
}

void igmp_receive(void *arg)
{
	igmp_interface *ifc = static_cast<igmp_interface *>(arg);
	pcap_pkthdr hdr;
	const u_char *data = pcap_next(ifc->pcap, &hdr);
	if (data == nullptr)
		return;
	// Examined in place in libpcap's buffer, bounded by what was captured.
	igmp_receive_frame(ifc, pkt_view{{data, hdr.caplen}});
}

// One if and one early return per check, in this order: the first failing
// check decides the message.
void igmp_receive_frame(igmp_interface *ifc, pkt_view frame)
{
	size_t c = pkt_len(frame);
	if (c < 34) {
		igmp_packet_error(ifc, nullptr, "Packet too short to contain an IPv4 header");
		return;
	}
	if (pkt_u16(frame, 12) != 0x0800) {
		igmp_packet_error(ifc, nullptr, "Packet is not an IPv4 packet");
		return;
	}
	const uint8_t *src = pkt_ptr(frame, 26);
	// Our own queries and advertisements, looped back by the capture.
	if (memcmp(src, ifc->address, 4) == 0)
		return;
	size_t h = (size_t)(pkt_u8(frame, 14) & 0x0f) * 4;
	if (c - 14 < h) {
		igmp_packet_error(ifc, nullptr, "IP header overrun");
		return;
	}
	if (ip_checksum(pkt_ptr(frame, 14), (int32_t)h) != 0) {
		igmp_packet_error(ifc, src, "IP checksum error");
		return;
	}
	size_t t = pkt_u16(frame, 16);
	if (t < h) {
		igmp_packet_error(ifc, src, "IP packet length error");
		return;
	}
	if (c - 14 < t) {
		igmp_packet_error(ifc, src, "IP packet overrun");
		return;
	}
	if (pkt_u8(frame, 23) != 2) {
		igmp_packet_error(ifc, src, "Packet is not an IGMP packet");
		return;
	}
	// RFC 3376 §4: every IGMPv2/v3 message carries the Router Alert option
	// (RFC 2113); only the first option is looked at.
	if (h <= 23) {
		igmp_packet_error(ifc, src, "IP header too short to contain a Router Alert option");
		return;
	}
	if (pkt_u8(frame, 34) != 0x94 || pkt_u8(frame, 35) != 4) {
		igmp_packet_error(ifc, src, "Packet does not contain a Router Alert option");
		return;
	}
	size_t l = t - h;
	if (l < 4) {
		igmp_packet_error(ifc, src, "Packet too short to contain an IGMP header");
		return;
	}
	// Link padding beyond the IP total length never reaches a handler.
	pkt_view msg = pkt_sub(frame, 14 + h, l);
	if (ip_checksum(pkt_ptr(msg, 0), (int32_t)l) != 0) {
		igmp_packet_error(ifc, src, "IGMP checksum error");
		return;
	}
	switch (pkt_u8(msg, 0)) {
	case 0x11:
		igmp_handle_query(ifc, src, msg);
		return;
	case 0x12:
		igmp_handle_v1_report(ifc, src, msg);
		return;
	case 0x16:
		igmp_handle_v2_report(ifc, src, msg);
		return;
	case 0x17:
		igmp_handle_leave(ifc, src, msg);
		return;
	case 0x22:
		igmp_handle_v3_report(ifc, src, msg);
		return;
	case 0x30: // other routers' advertisements and terminations (RFC 4286)
	case 0x32:
		return;
	case 0x31:
		igmp_handle_mrd_solicitation(ifc, src);
		return;
	default:
		igmp_packet_error(ifc, src, "Unknown IGMP type received");
		return;
	}
}
