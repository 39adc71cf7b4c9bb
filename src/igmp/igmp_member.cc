// IGMP membership tracking: reports and leaves turn into group state, and
// group state into forwarding on the bridge interfaces of the group.
#include "igmp/igmp.h"

#include <cstring>

#include "bridge/bridge.h"
#include "core/core.h"

static void igmp_packet_line(const igmp_interface *ifc, const uint8_t *src, const char *what,
			     const uint8_t *group)
{
	if (debug_level < log_level_packet)
		return;
	char s[16], g[16];
	log_warn("IGMP(%s) [%s]: received %s [group %s]\n", ifc->name, igmp_addr_text(src, s), what,
		 igmp_addr_text(group, g));
}

static void igmp_group_state(const igmp_group *g, const char *text)
{
	if (debug_level < log_level_state)
		return;
	char buf[16];
	log_warn("IGMP(%s) [%s]: %s\n", g->interface->name, igmp_addr_text(g->address, buf), text);
}

igmp_group *igmp_find_group(igmp_interface *ifc, const uint8_t *addr)
{
	// RFC 3376 §6: the local network control block is never reported on.
	if (addr[0] == 224 && addr[1] == 0 && addr[2] == 0)
		return nullptr;
	for (uint32_t i = 0; i < ifc->bridge_group_count; i++)
		if (memcmp(ifc->groups[i].address, addr, 4) == 0)
			return &ifc->groups[i];
	igmp_group *free_slot = nullptr;
	for (uint32_t i = ifc->bridge_group_count; i < ifc->group_count; i++) {
		igmp_group *g = &ifc->groups[i];
		if (!g->active) {
			if (free_slot == nullptr)
				free_slot = g;
			continue;
		}
		if (memcmp(g->address, addr, 4) == 0)
			return g;
	}
	if (free_slot == nullptr) {
		if (ifc->group_count >= ifc->group_capacity) {
			if (debug_level >= log_level_state) {
				char buf[16];
				log_warn("IGMP(%s) [%s]: %s\n", ifc->name, igmp_addr_text(addr, buf),
					 "Group list full -- group ignored");
			}
			return nullptr;
		}
		free_slot = &ifc->groups[ifc->group_count++];
	}
	// The slot's v1 host present timer may outlive its last group (a
	// timeout leaves it running); the new group starts without one, as
	// its cleared flag says.
	evm_del_timer(igmp_evm, igmp_v1_host_timeout, free_slot);
	memset(free_slot, 0, sizeof *free_slot);
	free_slot->interface = ifc;
	memcpy(free_slot->address, addr, 4);
	return free_slot;
}

static void igmp_listener_present(igmp_group *g)
{
	if (g->active) {
		evm_del_timer(igmp_evm, igmp_group_timeout, g);
	} else {
		g->active = 1;
		for (uint32_t i = 0; i < g->bridge_interface_count; i++)
			bridge_activate_outbound(g->bridge_interfaces[i]);
	}
	evm_add_timer(igmp_evm, igmp_group_membership_ms(g->interface), igmp_group_timeout, g);
}

void igmp_handle_v1_report(igmp_interface *ifc, const uint8_t *src, pkt_view msg)
{
	if (pkt_len(msg) < 8) {
		igmp_packet_error(ifc, src, "Packet too short to contain an IGMP v1 report");
		return;
	}
	igmp_group *g = igmp_find_group(ifc, pkt_ptr(msg, 4));
	if (g == nullptr)
		return;
	// RFC 3376 §7.3.2: while a v1 host is present, leaves are ignored.
	// The timer may still be pending from before a timeout or slot reuse,
	// so it is always cancelled before it is armed: one per group at most.
	evm_del_timer(igmp_evm, igmp_v1_host_timeout, g);
	g->v1_host_present = 1;
	evm_add_timer(igmp_evm, igmp_group_membership_ms(ifc), igmp_v1_host_timeout, g);
	igmp_packet_line(ifc, src, "v1 report", g->address);
	igmp_listener_present(g);
}

void igmp_handle_v2_report(igmp_interface *ifc, const uint8_t *src, pkt_view msg)
{
	if (pkt_len(msg) < 8) {
		igmp_packet_error(ifc, src, "Packet too short to contain an IGMP v2 report");
		return;
	}
	igmp_group *g = igmp_find_group(ifc, pkt_ptr(msg, 4));
	if (g == nullptr)
		return;
	igmp_packet_line(ifc, src, "v2 report", g->address);
	igmp_listener_present(g);
}

void igmp_handle_leave(igmp_interface *ifc, const uint8_t *src, pkt_view msg)
{
	if (pkt_len(msg) < 8) {
		igmp_packet_error(ifc, src, "Packet too short to contain an IGMP leave");
		return;
	}
	igmp_group *g = igmp_find_group(ifc, pkt_ptr(msg, 4));
	if (g == nullptr)
		return;
	igmp_packet_line(ifc, src, "v2 leave", g->address);
	igmp_group_leave(ifc, g);
}

void igmp_handle_v3_report(igmp_interface *ifc, const uint8_t *src, pkt_view msg)
{
	if (pkt_len(msg) < 8) {
		igmp_packet_error(ifc, src, "Packet too short to contain an IGMP v3 report");
		return;
	}
	// RFC 3376 §4.2: records in order; earlier ones keep their effect
	// when a later one is faulty.
	uint32_t records = pkt_u16(msg, 6);
	size_t off = 8;
	size_t remaining = pkt_len(msg) - 8;
	for (uint32_t r = 0; r < records; r++) {
		if (remaining < 8) {
			igmp_packet_error(ifc, src, "Group record header overrun in IGMP v3 report");
			return;
		}
		uint32_t type = pkt_u8(msg, off);
		uint32_t aux = pkt_u8(msg, off + 1);
		uint32_t sources = pkt_u16(msg, off + 2);
		size_t size = 8 + 4 * (size_t)(aux + sources);
		if (remaining < size) {
			igmp_packet_error(ifc, src, "Group record data overrun in IGMP v3 report");
			return;
		}
		remaining -= size;
		const uint8_t *addr = pkt_ptr(msg, off + 4);
		off += size;
		igmp_group *g = igmp_find_group(ifc, addr);
		if (g == nullptr)
			continue;
		if (debug_level >= log_level_packet) {
			char s[16], a[16];
			log_warn("IGMP(%s) [%s]: received v3 report type %d [group %s]\n", ifc->name,
				 igmp_addr_text(src, s), (int)type, igmp_addr_text(g->address, a));
		}
		switch (type) {
		case 1: // MODE_IS_INCLUDE
		case 3: // CHANGE_TO_INCLUDE_MODE
			if (sources > 0)
				igmp_listener_present(g);
			else
				igmp_group_leave(ifc, g);
			break;
		case 2: // MODE_IS_EXCLUDE
		case 4: // CHANGE_TO_EXCLUDE_MODE
		case 5: // ALLOW_NEW_SOURCES
			igmp_listener_present(g);
			break;
		case 6: // BLOCK_OLD_SOURCES
			if (sources == 0)
				igmp_group_leave(ifc, g);
			break;
		default:
			igmp_packet_error(ifc, src, "Unknown group record type in IGMP v3 report");
			return;
		}
	}
}

void igmp_group_timeout(void *arg)
{
	igmp_group *g = static_cast<igmp_group *>(arg);
	igmp_interface *ifc = g->interface;
	igmp_group_state(g, "Group membership timeout");
	g->active = 0;
	// A query sequence still running (another querier lowered the group
	// timer) ends here: a reused slot must not get its remaining query, and
	// a later leave must be able to start a new sequence.
	evm_del_timer(igmp_evm, igmp_send_group_query, g);
	g->group_query_count = 0;
	if (g->bridge_interface_count > 0) {
		for (uint32_t i = 0; i < g->bridge_interface_count; i++)
			bridge_deactivate_outbound(g->bridge_interfaces[i]);
		return;
	}
	// The first learned slot stays counted.
	for (uint32_t j = ifc->group_count - 1;
	     j > ifc->bridge_group_count && !ifc->groups[j].active; j--)
		ifc->group_count = j;
}

void igmp_v1_host_timeout(void *arg)
{
	igmp_group *g = static_cast<igmp_group *>(arg);
	if (debug_level >= log_level_packet)
		log_warn("IGMP(%s) []: v1 host present timeout\n", g->interface->name);
	g->v1_host_present = 0;
}

void igmp_group_leave(igmp_interface *ifc, igmp_group *g)
{
	// RFC 3376 §6.4.2: only the querier runs the last-member procedure, and
	// not while an IGMPv1 host would not answer it (§7.3.2).
	if (!igmp_is_querier(ifc) || !g->active || g->v1_host_present || g->group_query_count != 0)
		return;
	evm_del_timer(igmp_evm, igmp_group_timeout, g);
	evm_add_timer(igmp_evm, igmp_last_member_query_ms(ifc), igmp_group_timeout, g);
	g->group_query_count = ifc->robustness;
	igmp_send_group_query(g);
}

void igmp_send_group_query(void *arg)
{
	igmp_group *g = static_cast<igmp_group *>(arg);
	igmp_interface *ifc = g->interface;
	if (debug_level >= log_level_packet) {
		char s[16], a[16];
		log_warn("IGMP(%s) [%s]: sending query [group %s]\n", ifc->name,
			 igmp_addr_text(ifc->address, s), igmp_addr_text(g->address, a));
	}
	uint8_t *f = ifc->group_query_frame;
	f[3] = g->address[1] & 0x7f;
	f[4] = g->address[2];
	f[5] = g->address[3];
	memcpy(f + 30, g->address, 4);
	memcpy(f + 42, g->address, 4);
	// RFC 3376 §6.6.3.1: the repeats carry S so that routers keep their
	// timers; the first query of a sequence lowers them.
	if (g->group_query_count != ifc->robustness)
		f[46] |= 0x08;
	else
		f[46] &= (uint8_t)~0x08;
	f[24] = f[25] = 0;
	pkt_put_checksum(f + 24, ip_checksum(f + 14, 24));
	f[40] = f[41] = 0;
	pkt_put_checksum(f + 40, ip_checksum(f + 38, 12));
	igmp_inject(ifc, f, igmp_query_frame_size);
	if (g->group_query_count > 1) {
		g->group_query_count--;
		evm_add_timer(igmp_evm, ifc->last_member_query_interval * 100, igmp_send_group_query, g);
		return;
	}
	g->group_query_count = 0;
}
