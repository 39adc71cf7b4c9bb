// MLD listener tracking: reports and done messages switch the groups of an
// interface, and through them the bridge interfaces, on and off.
#include <cstring>

#include "bridge/bridge.h"
#include "core/core.h"
#include "mld/mld.h"

static void mld_group_init(mld_group *g, mld_interface *i, const uint8_t *address)
{
	memset(g, 0, sizeof *g);
	g->interface = i;
	memcpy(g->address, address, 16);
}

mld_group *mld_find_group(mld_interface *i, const uint8_t *address)
{
	// Link-scope groups (ff02::/16: all-nodes, solicited-node, ...) are
	// never forwarded, so they are not tracked either.
	if (address[0] == 0xff && address[1] == 0x02)
		return nullptr;
	for (uint32_t n = 0; n < i->bridge_group_count; n++)
		if (memcmp(i->groups[n].address, address, 16) == 0)
			return &i->groups[n];

	mld_group *free_slot = nullptr;
	for (uint32_t n = i->bridge_group_count; n < i->group_count; n++) {
		mld_group *g = &i->groups[n];
		if (!g->active) {
			if (free_slot == nullptr)
				free_slot = g;
		} else if (memcmp(g->address, address, 16) == 0) {
			return g;
		}
	}
	if (free_slot != nullptr) {
		mld_group_init(free_slot, i, address);
		return free_slot;
	}
	if (i->group_count >= i->group_capacity) {
		char text[46];
		if (debug_level >= log_level_state)
			log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(address, text),
				 "Group list full -- group ignored");
		return nullptr;
	}
	mld_group *g = &i->groups[i->group_count++];
	mld_group_init(g, i, address);
	return g;
}

static void mld_listener_present(mld_group *g)
{
	mld_interface *i = g->interface;
	if (g->active) {
		evm_del_timer(mld_evm, mld_group_timeout, g);
	} else {
		g->active = 1;
		for (uint32_t n = 0; n < g->bridge_interface_count; n++)
			bridge_activate_outbound(g->bridge_interfaces[n]);
	}
	// RFC 3810 §9.4: multicast address listening interval.
	evm_add_timer(mld_evm,
		      i->robustness * i->query_interval * 1000 + i->query_response_interval + 10,
		      mld_group_timeout, g);
}

static void mld_listener_leaving(mld_group *g)
{
	mld_interface *i = g->interface;
	if (memcmp(i->querier_address, i->address, 16) != 0)
		return;
	if (!g->active || g->group_query_count != 0)
		return;
	// RFC 3810 §7.6.2: last listener query time.
	evm_del_timer(mld_evm, mld_group_timeout, g);
	evm_add_timer(mld_evm, i->last_member_query_interval * i->robustness + 10,
		      mld_group_timeout, g);
	g->group_query_count = (int32_t)i->robustness;
	mld_send_group_query(g);
}

void mld_handle_v1_report(mld_interface *i, const uint8_t *source, pkt_view msg)
{
	if (pkt_len(msg) <= 23) {
		mld_packet_error(i, source, "Packet too short to contain an MLD v1 report");
		return;
	}
	mld_group *g = mld_find_group(i, pkt_ptr(msg, 8));
	if (g == nullptr)
		return;
	char text[46], group_text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: received v1 report [group %s]\n", i->name,
			 mld_addr_text(source, text), mld_addr_text(g->address, group_text));
	mld_listener_present(g);
}

void mld_handle_done(mld_interface *i, const uint8_t *source, pkt_view msg)
{
	if (pkt_len(msg) <= 23) {
		mld_packet_error(i, source, "Packet too short to contain an MLD done");
		return;
	}
	mld_group *g = mld_find_group(i, pkt_ptr(msg, 8));
	if (g == nullptr)
		return;
	char text[46], group_text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: received v1 done [group %s]\n", i->name,
			 mld_addr_text(source, text), mld_addr_text(g->address, group_text));
	mld_listener_leaving(g);
}

void mld_handle_v2_report(mld_interface *i, const uint8_t *source, pkt_view msg)
{
	if (pkt_len(msg) <= 7) {
		mld_packet_error(i, source, "Packet too short to contain an MLD v2 report");
		return;
	}
	uint32_t records = pkt_u16(msg, 6);
	size_t left = pkt_len(msg) - 8;
	size_t off = 8;
	for (uint32_t r = 0; r < records; r++) {
		if (left < 20) {
			mld_packet_error(i, source, "Group record header overrun in MLD v2 report");
			return;
		}
		uint32_t type = pkt_u8(msg, off);
		uint32_t sources = pkt_u16(msg, off + 2);
		size_t length = 20 + 16 * (size_t)sources + 4 * (size_t)pkt_u8(msg, off + 1);
		if (left < length) {
			mld_packet_error(i, source, "Group record data overrun in MLD v2 report");
			return;
		}
		left -= length;
		size_t record = off;
		off += length;

		mld_group *g = mld_find_group(i, pkt_ptr(msg, record + 4));
		if (g == nullptr)
			continue;
		char text[46], group_text[46];
		if (debug_level >= log_level_packet)
			log_warn("MLD(%s) [%s]: received v2 report type %d [group %s]\n", i->name,
				 mld_addr_text(source, text), (int)type,
				 mld_addr_text(g->address, group_text));
		// RFC 3810 §6.1: an empty include list means no listener is left.
		switch (type) {
		case 1: // MODE_IS_INCLUDE
		case 3: // CHANGE_TO_INCLUDE_MODE
			if (sources > 0)
				mld_listener_present(g);
			else
				mld_listener_leaving(g);
			break;
		case 2: // MODE_IS_EXCLUDE
		case 4: // CHANGE_TO_EXCLUDE_MODE
		case 5: // ALLOW_NEW_SOURCES
			mld_listener_present(g);
			break;
		case 6: // BLOCK_OLD_SOURCES
			if (sources == 0)
				mld_listener_leaving(g);
			break;
		default:
			mld_packet_error(i, source, "Unknown group record type in MLD v2 report");
			return;
		}
	}
}

void mld_group_timeout(void *arg)
{
	mld_group *g = static_cast<mld_group *>(arg);
	mld_interface *i = g->interface;
	char text[46];
	if (debug_level >= log_level_state)
		log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(g->address, text),
			 "Group membership timeout");
	g->active = 0;
	// A series of address-specific queries may still run when another
	// querier lowered the group timer: end it here, so that a reused slot
	// never sends a stray query and a later done starts a new series.
	evm_del_timer(mld_evm, mld_send_group_query, g);
	g->group_query_count = 0;

	if (g->bridge_interface_count > 0) {
		for (uint32_t n = 0; n < g->bridge_interface_count; n++)
			bridge_deactivate_outbound(g->bridge_interfaces[n]);
		return;
	}
	// Trailing free slots leave the learned range; the first learned slot
	// always stays.
	uint32_t n = i->group_count - 1;
	while (n > i->bridge_group_count && !i->groups[n].active) {
		i->group_count = n;
		n--;
	}
}

void mld_send_group_query(void *arg)
{
	mld_group *g = static_cast<mld_group *>(arg);
	mld_interface *i = g->interface;
	char text[46], group_text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: sending query [group %s]\n", i->name,
			 mld_addr_text(i->address, text), mld_addr_text(g->address, group_text));

	uint8_t *f = i->group_query_frame;
	memcpy(f + 2, g->address + 12, 4); // 33:33 + low 32 bits, RFC 2464 §7
	memcpy(f + 38, g->address, 16);
	memcpy(f + 70, g->address, 16);
	// RFC 3810 §7.6.3: S set on the retransmissions of a series.
	f[86] = (uint8_t)(0x02 | ((uint32_t)g->group_query_count != i->robustness ? 0x08 : 0));
	f[64] = f[65] = 0;
	pkt_put_checksum(&f[64], icmp6_checksum(&f[62], 28, &f[22], &f[38], 58));
	mld_inject(i, f, mld_query_frame_size);

	if (g->group_query_count > 1) {
		g->group_query_count--;
		evm_add_timer(mld_evm, i->last_member_query_interval, mld_send_group_query, g);
	} else {
		g->group_query_count = 0;
	}
}
