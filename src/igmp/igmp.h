// IGMP querier: per-interface group tables, capture, election, membership
// tracking and multicast router discovery on IPv4 links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pcap/pcap.h>

#include "config/config.h"
#include "evm/evm.h"
#include "packet/packet.h"

struct igmp_interface;

struct igmp_group {
	igmp_interface *interface;
	bridge_interface **bridge_interfaces; // empty for a learned group
	uint32_t bridge_interface_capacity;
	uint32_t bridge_interface_count;
	uint32_t active; // listeners present: igmp_group_timeout is armed
	uint8_t address[4];
	uint32_t v1_host_present; // igmp_v1_host_timeout is armed
	uint32_t group_query_count; // group-specific queries still to send
};

inline constexpr size_t igmp_mrd_frame_size = 46;
inline constexpr size_t igmp_query_frame_size = 50;

struct igmp_interface {
	igmp_group *groups; // bridge groups first, then learned groups
	uint32_t group_capacity;
	uint32_t group_count;
	uint32_t bridge_group_count;
	const char *name; // borrowed from the first registered bridge_interface
	uint32_t ifindex;
	uint8_t address[4];
	uint8_t hwaddr[6];
	pcap_t *pcap;
	uint8_t querier_address[4]; // 255.255.255.255: none known; == address: us
	uint32_t robustness;
	uint32_t query_interval;             // seconds
	uint32_t query_response_interval;    // tenths of a second
	uint32_t last_member_query_interval; // tenths of a second
	uint32_t mrd_initial_count;
	uint32_t startup_query_count;
	uint8_t mrd_advert_frame[igmp_mrd_frame_size];
	uint8_t general_query_frame[igmp_query_frame_size];
	uint8_t group_query_frame[igmp_query_frame_size];
};

// Owned by the main thread until igmp_start, by the IGMP thread afterwards.
extern igmp_interface *igmp_interfaces;
extern uint32_t igmp_interface_count;
extern uint32_t igmp_interface_capacity;
extern evm *igmp_evm;
extern uint8_t all_hosts_group[4];
extern uint8_t all_snoopers_group[4];
extern unsigned short igmp_rand_state[3];

// RFC 3376 §8: the intervals, from the values in force on the interface
// (taken over from another querier, §8.1 to §8.3), in milliseconds.
inline uint32_t igmp_group_membership_ms(const igmp_interface *ifc) // §8.4; also §8.13
{
	return (ifc->query_interval * ifc->robustness + ifc->query_response_interval / 10) * 1000;
}
inline uint32_t igmp_other_querier_ms(const igmp_interface *ifc) // §8.5
{
	return (ifc->query_interval * ifc->robustness + ifc->query_response_interval / 20) * 1000;
}
inline uint32_t igmp_last_member_query_ms(const igmp_interface *ifc) // §8.8, plus 10 ms
{
	return ifc->robustness * ifc->last_member_query_interval * 100 + 10;
}

// Tables (igmp_table.cc).
void igmp_register_interface(bridge_interface *bi);
void igmp_setup(bool foreground);
// igmp_setup without the captures: freezes the lists, prints the listing in
// the foreground and creates igmp_evm. Tests use it on fabricated tables.
void igmp_prepare(bool foreground);
const char *igmp_addr_text(const uint8_t addr[4], char buf[16]);

// Capture and validation (igmp_capture.cc).
void igmp_open_capture(igmp_interface *ifc);
void igmp_receive(void *ifc); // descriptor callback: one pcap_next per call
// The checks on one captured frame, in their order, and the dispatch to the
// handlers; pure apart from what the handlers do. Fed byte arrays by the
// unit tests and the fuzzer.
void igmp_receive_frame(igmp_interface *ifc, pkt_view frame);
void igmp_packet_error(const igmp_interface *ifc, const uint8_t *src, const char *text);
// Every frame the querier sends goes through here; a failure is logged.
void igmp_inject(igmp_interface *ifc, const uint8_t *frame, size_t len);
// Test seam: when set, igmp_inject calls it instead of pcap_inject; a
// result of -1 is reported as an injection failure.
extern int (*igmp_inject_hook)(igmp_interface *ifc, const uint8_t *frame, size_t len);

// Querier election and general queries (igmp_querier.cc).
void igmp_start();
void igmp_seed_random(uint32_t seconds, uint32_t pid);
// Ethernet header and the 24-byte IPv4 header with Router Alert that the
// queries and the advertisement share; the header checksum is left 0.
void igmp_build_ip_header(uint8_t *frame, const uint8_t *dst_mac, const uint8_t *src_mac,
			  uint16_t total_length, const uint8_t *src, const uint8_t *dst);
void igmp_build_query_frames(igmp_interface *ifc);
void igmp_start_interface(igmp_interface *ifc); // adverts, frames, first timers
void *igmp_thread_main(void *unused);
void igmp_send_general_query(void *ifc);
void igmp_querier_timeout(void *ifc);
void igmp_handle_query(igmp_interface *ifc, const uint8_t *src, pkt_view msg);
bool igmp_is_querier(const igmp_interface *ifc);

// Membership tracking (igmp_member.cc).
igmp_group *igmp_find_group(igmp_interface *ifc, const uint8_t *addr);
void igmp_handle_v1_report(igmp_interface *ifc, const uint8_t *src, pkt_view msg);
void igmp_handle_v2_report(igmp_interface *ifc, const uint8_t *src, pkt_view msg);
void igmp_handle_leave(igmp_interface *ifc, const uint8_t *src, pkt_view msg);
void igmp_handle_v3_report(igmp_interface *ifc, const uint8_t *src, pkt_view msg);
void igmp_group_leave(igmp_interface *ifc, igmp_group *g);
void igmp_group_timeout(void *group);
void igmp_v1_host_timeout(void *group);
void igmp_send_group_query(void *group);

// Multicast router discovery (igmp_mrd.cc).
void igmp_build_mrd_frame(igmp_interface *ifc);
void igmp_send_mrd_advert(void *ifc);
void igmp_handle_mrd_solicitation(igmp_interface *ifc, const uint8_t *src);
