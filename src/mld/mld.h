// MLD querier: per-interface group tables, capture, election, listener
// tracking and multicast router discovery on IPv6 links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pcap/pcap.h>

#include "config/config.h"
#include "evm/evm.h"
#include "packet/packet.h"

struct mld_interface;

struct mld_group {
	mld_interface *interface;
	bridge_interface **bridge_interfaces; // served on this interface; none for a learned group
	uint32_t bridge_interface_capacity;
	uint32_t bridge_interface_count;
	uint32_t active; // listeners present: the membership timer runs
	uint8_t address[16];
	int32_t group_query_count; // address-specific queries still to send
};

inline constexpr size_t mld_query_frame_size = 90;
inline constexpr size_t mld_advert_frame_size = 70;

// Owned by the main thread until mld_start, by the MLD thread afterwards.
struct mld_interface {
	mld_group *groups; // bridge groups first, then learned groups
	uint32_t group_capacity;
	uint32_t group_count;
	uint32_t bridge_group_count;
	const char *name; // borrowed from the first registered bridge interface
	uint32_t ifindex;
	uint8_t address[16]; // link-local: source of all we send, and how our frames are known
	uint8_t hwaddr[6];
	pcap_t *pcap;
	uint8_t querier_address[16]; // all 0xff: no querier known
	uint32_t robustness;
	uint32_t query_interval;             // seconds
	uint32_t query_response_interval;    // milliseconds
	uint32_t last_member_query_interval; // milliseconds
	uint32_t mrd_initial_count;
	uint32_t startup_query_count;
	uint8_t mrd_advert_frame[mld_advert_frame_size];
	uint8_t general_query_frame[mld_query_frame_size];
	uint8_t group_query_frame[mld_query_frame_size];
};

extern mld_interface *mld_interfaces;
extern uint32_t mld_interface_count;
extern uint32_t mld_interface_capacity;
extern evm *mld_evm;
extern unsigned short mld_rand_state[3]; // nrand48 state, MLD thread only

// Tables.
void mld_register_interface(bridge_interface *bi);
void mld_setup(bool foreground);
void mld_print_listing();  // the "MLD:" listing of the foreground
void mld_setup_tables();   // fixes the table sizes and creates mld_evm
const char *mld_addr_text(const uint8_t *addr, char buf[46]); // "unknown" for null

// Capture and validation.
extern const char mld_capture_filter[];
void mld_open_capture(mld_interface *i);
void mld_receive(void *arg);
// Checks one captured Ethernet frame and hands its ICMPv6 message to the
// handler of its type; no pcap involved, so tests and fuzzers call it.
void mld_receive_frame(mld_interface *i, pkt_view frame);
void mld_packet_error(mld_interface *i, const uint8_t *source, const char *text);
// Every frame the daemon sends goes through here. The hook, null in the
// daemon, replaces pcap_inject so that tests can see what is sent.
void mld_inject(mld_interface *i, const uint8_t *frame, size_t len);
extern int (*mld_inject_hook)(mld_interface *i, const uint8_t *frame, size_t len);
// Ethernet, IPv6 and Hop-by-Hop (Router Alert, PadN) headers: 62 bytes.
void mld_build_frame_header(uint8_t *frame, const mld_interface *i, const uint8_t dst_mac[6],
			    const uint8_t dst[16], uint16_t payload_length);

// Querier election and general queries.
void mld_start();
void mld_seed_random(uint32_t value);
void mld_start_interface(mld_interface *i); // frames, first advertisement, querier per mode
void mld_build_query_frames(mld_interface *i);
void *mld_thread_main(void *arg);
void mld_send_general_query(void *arg);
void mld_querier_timeout(void *arg);
void mld_handle_query(mld_interface *i, const uint8_t *source, pkt_view msg);

// Listener tracking.
mld_group *mld_find_group(mld_interface *i, const uint8_t *address);
void mld_group_timeout(void *arg);
void mld_send_group_query(void *arg);
void mld_handle_v1_report(mld_interface *i, const uint8_t *source, pkt_view msg);
void mld_handle_done(mld_interface *i, const uint8_t *source, pkt_view msg);
void mld_handle_v2_report(mld_interface *i, const uint8_t *source, pkt_view msg);

// Multicast router discovery.
void mld_build_mrd_advert(mld_interface *i);
void mld_send_mrd_advert(void *arg);
void mld_handle_mrd_solicitation(mld_interface *i, const uint8_t *source);
