// IGMP interface and group tables: registration of dynamic outbound bridge
// interfaces, the freeze at set-up, the "IGMP:" listing.
#include "igmp/igmp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"

igmp_interface *igmp_interfaces;
uint32_t igmp_interface_count;
uint32_t igmp_interface_capacity;
evm *igmp_evm;
uint8_t all_hosts_group[4];
uint8_t all_snoopers_group[4];

const char *igmp_addr_text(const uint8_t addr[4], char buf[16])
{
	if (inet_ntop(AF_INET, addr, buf, 16) == nullptr)
		return "[unknown]";
	return buf;
}

static igmp_interface *igmp_interface_for(const bridge_interface *bi)
{
	for (uint32_t i = 0; i < igmp_interface_count; i++)
		if (igmp_interfaces[i].ifindex == bi->ifindex)
			return &igmp_interfaces[i];
	if (igmp_interface_count == igmp_interface_capacity) {
		uint32_t cap = igmp_interface_capacity == 0 ? 2 : igmp_interface_capacity * 2;
		void *p = realloc(igmp_interfaces, cap * sizeof(igmp_interface));
		if (p == nullptr)
			log_fatal("Cannot allocate memory for igmp interface list: %s\n",
				  strerror(errno));
		igmp_interfaces = static_cast<igmp_interface *>(p);
		igmp_interface_capacity = cap;
	}
	igmp_interface *ifc = &igmp_interfaces[igmp_interface_count++];
	memset(ifc, 0, sizeof *ifc);
	ifc->name = bi->name;
	ifc->ifindex = bi->ifindex;
	memcpy(ifc->address, bi->ipv4_addr, 4);
	memcpy(ifc->hwaddr, bi->hwaddr, 6);
	return ifc;
}

static igmp_group *igmp_group_for(igmp_interface *ifc, const uint8_t *addr)
{
	for (uint32_t i = 0; i < ifc->group_count; i++)
		if (memcmp(ifc->groups[i].address, addr, 4) == 0)
			return &ifc->groups[i];
	if (ifc->group_count == ifc->group_capacity) {
		uint32_t cap = ifc->group_capacity == 0 ? 1 : ifc->group_capacity * 2;
		void *p = realloc(ifc->groups, cap * sizeof(igmp_group));
		if (p == nullptr)
			log_fatal("Cannot allocate memory for igmp group list: %s\n", strerror(errno));
		ifc->groups = static_cast<igmp_group *>(p);
		ifc->group_capacity = cap;
	}
	igmp_group *g = &ifc->groups[ifc->group_count++];
	memset(g, 0, sizeof *g);
	memcpy(g->address, addr, 4);
	return g;
}

void igmp_register_interface(bridge_interface *bi)
{
	igmp_interface *ifc = igmp_interface_for(bi);
	igmp_group *g = igmp_group_for(ifc, bridge_group(&bridges[bi->bridge_index]));
	if (g->bridge_interface_count == g->bridge_interface_capacity) {
		uint32_t cap = g->bridge_interface_capacity == 0 ? 1
								: g->bridge_interface_capacity * 2;
		void *p = realloc(g->bridge_interfaces, cap * sizeof(bridge_interface *));
		if (p == nullptr)
			log_fatal("Cannot allocate memory for igmp group list: %s\n", strerror(errno));
		g->bridge_interfaces = static_cast<bridge_interface **>(p);
		g->bridge_interface_capacity = cap;
	}
	g->bridge_interfaces[g->bridge_interface_count++] = bi;
}

static const char *igmp_mode_title(uint32_t mode)
{
	static const char *const titles[] = {"Never", "Quick", "Delay", "Defer"};
	return mode < 4 ? titles[mode] : "Unknown";
}

static void igmp_dump()
{
	char buf[16];
	printf("IGMP:\n");
	printf("  Querier Mode: %s\n", igmp_mode_title(igmp_querier_mode));
	for (uint32_t i = 0; i < igmp_interface_count; i++) {
		const igmp_interface *ifc = &igmp_interfaces[i];
		const uint8_t *hw = ifc->hwaddr;
		printf("  Interface: %s\n", ifc->name);
		printf("    if index: %d\n", (int)ifc->ifindex);
		printf("    hw-addr: %02x:%02x:%02x:%02x:%02x:%02x\n", hw[0], hw[1], hw[2], hw[3],
		       hw[4], hw[5]);
		printf("    address: %s\n", igmp_addr_text(ifc->address, buf));
		printf("    groups:\n");
		for (uint32_t j = 0; j < ifc->group_count; j++)
			printf("      %s\n", igmp_addr_text(ifc->groups[j].address, buf));
	}
	fflush(stdout);
}

void igmp_prepare(bool foreground)
{
	if (igmp_interface_count == 0)
		return;
	if (foreground)
		igmp_dump();
	static constexpr uint8_t all_hosts[4] = {224, 0, 0, 1};
	static constexpr uint8_t all_snoopers[4] = {224, 0, 0, 106}; // RFC 4286 §6
	memcpy(all_hosts_group, all_hosts, 4);
	memcpy(all_snoopers_group, all_snoopers, 4);

	// From here on the lists never move: groups and interfaces are pointed
	// to by timers, and nothing may be allocated while packets flow.
	uint64_t total = 0;
	for (uint32_t i = 0; i < igmp_interface_count; i++) {
		igmp_interface *ifc = &igmp_interfaces[i];
		ifc->bridge_group_count = ifc->group_count;
		uint32_t cap = ifc->group_count + group_list_headroom;
		void *p = realloc(ifc->groups, cap * sizeof(igmp_group));
		if (p == nullptr)
			log_fatal("Cannot allocate memory for igmp group list: %s\n", strerror(errno));
		ifc->groups = static_cast<igmp_group *>(p);
		memset(&ifc->groups[ifc->group_count], 0,
		       (cap - ifc->group_count) * sizeof(igmp_group));
		ifc->group_capacity = cap;
		for (uint32_t j = 0; j < ifc->bridge_group_count; j++)
			ifc->groups[j].interface = ifc;
		total += cap;
	}

	// Per interface the advertisement timer and the query or querier
	// timer; per group slot its membership, v1 host present and group query
	// timers. A group holds all three when an IGMPv1 report comes during its
	// own last-member sequence; with room for only two, a burst of such
	// reports could fill the table and silently end the general queries and
	// advertisements, whose re-arming would then be dropped.
	igmp_evm = evm_create((int)igmp_interface_count,
			      (int)(2 * igmp_interface_count + 3 * total));
	if (igmp_evm == nullptr)
		log_fatal("Cannot create event manager\n");
}

void igmp_setup(bool foreground)
{
	if (igmp_interface_count == 0)
		return;
	igmp_prepare(foreground);
	for (uint32_t i = 0; i < igmp_interface_count; i++)
		igmp_open_capture(&igmp_interfaces[i]);
}
