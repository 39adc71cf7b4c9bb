// MLD interface and group tables: registration of dynamic outbound bridge
// interfaces, the fixed-size tables and the "MLD:" listing.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "mld/mld.h"

mld_interface *mld_interfaces;
uint32_t mld_interface_count;
uint32_t mld_interface_capacity;
evm *mld_evm;

const char *mld_addr_text(const uint8_t *addr, char buf[46])
{
	if (addr == nullptr || inet_ntop(AF_INET6, addr, buf, 46) == nullptr)
		strcpy(buf, "unknown");
	return buf;
}

static mld_interface *mld_interface_for(const bridge_interface *bi)
{
	for (uint32_t n = 0; n < mld_interface_count; n++)
		if (mld_interfaces[n].ifindex == bi->ifindex)
			return &mld_interfaces[n];

	if (mld_interface_count == mld_interface_capacity) {
		uint32_t cap = mld_interface_capacity ? mld_interface_capacity * 2 : 2;
		void *p = realloc(mld_interfaces, cap * sizeof(mld_interface));
		if (p == nullptr)
			log_fatal("Cannot allocate memory for mld interface list: %s\n",
				  strerror(errno));
		mld_interfaces = static_cast<mld_interface *>(p);
		mld_interface_capacity = cap;
	}
	mld_interface *i = &mld_interfaces[mld_interface_count++];
	memset(i, 0, sizeof *i);
	i->name = bi->name;
	i->ifindex = bi->ifindex;
	memcpy(i->hwaddr, bi->hwaddr, 6);
	memcpy(i->address, bi->ipv6_link_local_addr, 16);

	// Everything we send carries this address as source, and RFC 3810 §5
	// requires queries to come from a link-local address (fe80::/10).
	if (i->address[0] != 0xfe || (i->address[1] & 0xc0) != 0x80) {
		char text[46];
		if (inet_ntop(AF_INET6, i->address, text, sizeof text) == nullptr)
			strcpy(text, "unknown");
		log_fatal("Interface %s has an invalid IPv6 link-local address: %s\n", i->name,
			  text);
	}
	return i;
}

static void *mld_grow(void *array, uint32_t *capacity, size_t size)
{
	uint32_t cap = *capacity ? *capacity * 2 : 1;
	void *p = realloc(array, cap * size);
	if (p == nullptr)
		log_fatal("Cannot allocate memory for mld group list: %s\n", strerror(errno));
	*capacity = cap;
	return p;
}

void mld_register_interface(bridge_interface *bi)
{
	const uint8_t *group = bridge_group(&bridges[bi->bridge_index]);
	mld_interface *i = mld_interface_for(bi);

	mld_group *g = nullptr;
	for (uint32_t n = 0; n < i->group_count; n++) {
		if (memcmp(i->groups[n].address, group, 16) == 0) {
			g = &i->groups[n];
			break;
		}
	}
	if (g == nullptr) {
		if (i->group_count == i->group_capacity)
			i->groups = static_cast<mld_group *>(
				mld_grow(i->groups, &i->group_capacity, sizeof(mld_group)));
		g = &i->groups[i->group_count++];
		memset(g, 0, sizeof *g);
		memcpy(g->address, group, 16);
	}

	if (g->bridge_interface_count == g->bridge_interface_capacity)
		g->bridge_interfaces = static_cast<bridge_interface **>(mld_grow(
			g->bridge_interfaces, &g->bridge_interface_capacity, sizeof(bridge_interface *)));
	g->bridge_interfaces[g->bridge_interface_count++] = bi;
}

static const char *mld_listing_addr(const uint8_t *addr, char buf[46])
{
	if (inet_ntop(AF_INET6, addr, buf, 46) == nullptr)
		strcpy(buf, "[unknown]");
	return buf;
}

void mld_print_listing()
{
	static const char *const modes[] = {"Never", "Quick", "Delay", "Defer"};
	char text[46];

	printf("MLD:\n");
	printf("  Querier Mode: %s\n", mld_querier_mode < 4 ? modes[mld_querier_mode] : "Unknown");
	for (uint32_t n = 0; n < mld_interface_count; n++) {
		const mld_interface *i = &mld_interfaces[n];
		printf("  Interface: %s\n", i->name);
		printf("    if index: %d\n", (int)i->ifindex);
		printf("    hw-addr: %02x:%02x:%02x:%02x:%02x:%02x\n", i->hwaddr[0], i->hwaddr[1],
		       i->hwaddr[2], i->hwaddr[3], i->hwaddr[4], i->hwaddr[5]);
		printf("    address: %s\n", mld_listing_addr(i->address, text));
		printf("    groups:\n");
		for (uint32_t k = 0; k < i->group_count; k++)
			printf("      %s\n", mld_listing_addr(i->groups[k].address, text));
	}
	fflush(stdout);
}

void mld_setup_tables()
{
	uint32_t slots = 0;
	for (uint32_t n = 0; n < mld_interface_count; n++) {
		mld_interface *i = &mld_interfaces[n];
		i->bridge_group_count = i->group_count;
		i->group_capacity = i->group_count + group_list_headroom;
		void *p = realloc(i->groups, i->group_capacity * sizeof(mld_group));
		if (p == nullptr)
			log_fatal("Cannot allocate memory for mld group list: %s\n", strerror(errno));
		i->groups = static_cast<mld_group *>(p);
		memset(&i->groups[i->group_count], 0,
		       (i->group_capacity - i->group_count) * sizeof(mld_group));
		for (uint32_t k = 0; k < i->group_count; k++)
			i->groups[k].interface = i;
		slots += i->group_capacity;
	}
	// Two pending timers per interface (advertisement and one querier
	// timer) and per group slot (membership and address-specific query).
	mld_evm = evm_create((int)mld_interface_count, (int)(2 * (mld_interface_count + slots)));
	if (mld_evm == nullptr)
		log_fatal("Cannot create event manager\n");
}

void mld_setup(bool foreground)
{
	if (mld_interface_count == 0)
		return;
	if (foreground)
		mld_print_listing();
	mld_setup_tables();
	for (uint32_t n = 0; n < mld_interface_count; n++)
		mld_open_capture(&mld_interfaces[n]);
}
