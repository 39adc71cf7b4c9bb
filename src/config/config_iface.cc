// Interface lookup with address selection, the consistency checks of a
// finished section, and the creation of its bridges.
#include "config/config.h"
#include "core/core.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <new>

static bool ipv4_is_link_local(const uint8_t *a)
{
	return a[0] == 169 && a[1] == 254; // RFC 3927
}

static bool ipv6_is_link_local(const uint8_t *a)
{
	return a[0] == 0xfe && (a[1] & 0xc0) == 0x80; // fe80::/10
}

static bool ipv6_is_unique_local(const uint8_t *a)
{
	return (a[0] & 0xfe) == 0xfc; // RFC 4193: fc00::/7
}

static void config_take_address(interface_definition *e, const ifaddrs *ifa)
{
	const sockaddr *sa = ifa->ifa_addr;
	if (sa->sa_family == AF_INET) {
		const uint8_t *a = reinterpret_cast<const uint8_t *>(
			&reinterpret_cast<const sockaddr_in *>(sa)->sin_addr);
		if (ipv4_is_link_local(a)) {
			if (!e->has_ipv4_link_local) {
				memcpy(e->ipv4_link_local_addr, a, 4);
				e->has_ipv4_link_local = 1;
			}
		} else if (!e->has_ipv4) {
			memcpy(e->ipv4_addr, a, 4);
			e->has_ipv4 = 1;
		}
	} else if (sa->sa_family == AF_INET6) {
		const uint8_t *a = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr.s6_addr;
		if (ipv6_is_link_local(a)) {
			if (!e->has_ipv6_link_local) {
				memcpy(e->ipv6_link_local_addr, a, 16);
				e->has_ipv6_link_local = 1;
			}
		} else if (ipv6_is_unique_local(a)) {
			if (!e->has_ipv6_unique_local) {
				memcpy(e->ipv6_unique_local_addr, a, 16);
				e->has_ipv6_unique_local = 1;
			}
		} else if (!e->has_ipv6) {
			memcpy(e->ipv6_addr, a, 16);
			e->has_ipv6 = 1;
		}
	} else {
		// Link-level entry (platform seam); a later one overwrites.
		(void)config_os_link_addr(ifa, e->hwaddr);
	}
}

interface_definition *config_find_interface(bridge_definition *def, const char *name)
{
	uint32_t ifindex = if_nametoindex(name);
	if (ifindex == 0)
		log_fatal("%s line %u: Interface \"%s\" does not exist\n", config_file, config_line,
			  name);
	for (uint32_t i = 0; i < def->interface_count; i++)
		if (def->interfaces[i].ifindex == ifindex)
			return &def->interfaces[i];
	if (def->interface_count >= config_max_interfaces)
		log_fatal("%s line %u: Maximum number of interfaces (%u) exceeded\n", config_file,
			  config_line, config_max_interfaces);

	interface_definition *e = &def->interfaces[def->interface_count++];
	memset(e, 0, sizeof *e);
	e->ifindex = ifindex;
	e->name = strdup(name);
	if (e->name == nullptr)
		log_fatal("Cannot allocate memory: %s\n", strerror(errno));

	// The address list carries the system's own name of the interface. On
	// Linux an interface may also answer to alternative names, which the
	// list never shows, so match by the name that belongs to the index.
	char sysname[IF_NAMESIZE];
	const char *match = if_indextoname(ifindex, sysname) != nullptr ? sysname : name;

	for (const ifaddrs *ifa = interface_address_list; ifa != nullptr; ifa = ifa->ifa_next) {
		if (ifa->ifa_addr == nullptr || ifa->ifa_name == nullptr ||
		    strcmp(ifa->ifa_name, match) != 0)
			continue;
		if (!(ifa->ifa_flags & IFF_UP))
			log_fatal("%s line %u: Interface \"%s\" is not up\n", config_file,
				  config_line, name);
		if (!(ifa->ifa_flags & IFF_MULTICAST))
			log_fatal("%s line %u: Interface \"%s\" does not support multicast\n",
				  config_file, config_line, name);
		config_take_address(e, ifa);
	}

	if (!e->has_ipv4 && e->has_ipv4_link_local) {
		memcpy(e->ipv4_addr, e->ipv4_link_local_addr, 4);
		e->has_ipv4 = 1;
	}
	if (!e->has_ipv6) {
		if (e->has_ipv6_unique_local) {
			memcpy(e->ipv6_addr, e->ipv6_unique_local_addr, 16);
			e->has_ipv6 = 1;
		} else if (e->has_ipv6_link_local) {
			memcpy(e->ipv6_addr, e->ipv6_link_local_addr, 16);
			e->has_ipv6 = 1;
		}
	}
	if (!e->has_ipv4 && !e->has_ipv6)
		log_fatal("%s line %u: Interface \"%s\" does not have an IP address\n", config_file,
			  config_line, name);
	return e;
}

void config_end_section(bridge_definition *def)
{
	uint32_t port = def->port;
	if (!def->has_ipv4_group && !def->has_ipv6_group)
		log_fatal("Bridge %u does not have a multicast group address\n", port);

	uint32_t inbound = 0, outbound = 0;
	interface_definition *last_inbound = nullptr, *last_outbound = nullptr;
	def->ipv4_inbound_count = def->ipv4_outbound_count = 0;
	def->ipv6_inbound_count = def->ipv6_outbound_count = 0;
	for (uint32_t i = 0; i < def->interface_count; i++) {
		interface_definition *e = &def->interfaces[i];
		if (e->inbound_mode != mode_none) {
			inbound++;
			last_inbound = e;
			if (e->has_ipv4) {
				def->ipv4_inbound_count++;
				def->last_ipv4_inbound = e;
			}
			if (e->has_ipv6) {
				def->ipv6_inbound_count++;
				def->last_ipv6_inbound = e;
			}
		}
		if (e->outbound_mode != mode_none) {
			outbound++;
			last_outbound = e;
			if (e->has_ipv4) {
				def->ipv4_outbound_count++;
				def->last_ipv4_outbound = e;
			}
			if (e->has_ipv6) {
				def->ipv6_outbound_count++;
				def->last_ipv6_outbound = e;
			}
		}
	}

	if (inbound == 0)
		log_fatal("Bridge %u does not have any inbound interfaces\n", port);
	if (outbound == 0)
		log_fatal("Bridge %u does not have any outbound interfaces\n", port);
	if (inbound == 1 && last_inbound->outbound_mode != mode_none)
		log_fatal("Bridge %u has a single inbound interface (%s) which is also declared "
			  "as an outbound interface\n",
			  port, last_inbound->name);
	if (outbound == 1 && last_outbound->inbound_mode != mode_none)
		log_fatal("Bridge %u has a single outbound interface (%s) which is also declared "
			  "as an inbound interface\n",
			  port, last_outbound->name);
	if (def->has_ipv4_group) {
		if (def->ipv4_inbound_count == 0)
			log_fatal("Bridge %u has an IPv4 multicast group address, but does not have "
				  "an IPv4 enabled inbound interface\n",
				  port);
		if (def->ipv4_outbound_count == 0)
			log_fatal("Bridge %u has an IPv4 multicast group address, but does not have "
				  "an IPv4 enabled outbound interface\n",
				  port);
		if (def->ipv4_inbound_count == 1 && def->ipv4_outbound_count == 1 &&
		    def->last_ipv4_inbound == def->last_ipv4_outbound)
			log_fatal("Bridge %u has an IPv4 multicast group address, but has only one "
				  "IPv4 enabled interface (%s)\n",
				  port, def->last_ipv4_inbound->name);
	}
	if (def->has_ipv6_group) {
		if (def->ipv6_inbound_count == 0)
			log_fatal("Bridge %u has an IPv6 multicast group address, but does not have "
				  "an IPv6 enabled inbound interface\n",
				  port);
		if (def->ipv6_outbound_count == 0)
			log_fatal("Bridge %u has an IPv6 multicast group address, but does not have "
				  "an IPv6 enabled outbound interface\n",
				  port);
		if (def->ipv6_inbound_count == 1 && def->ipv6_outbound_count == 1 &&
		    def->last_ipv6_inbound == def->last_ipv6_outbound)
			log_fatal("Bridge %u has an IPv6 multicast group address, but has only one "
				  "IPv6 enabled interface (%s)\n",
				  port, def->last_ipv6_inbound->name);
	}

	if (def->has_ipv4_group)
		bridge_create(def, AF_INET);
	if (def->has_ipv6_group)
		bridge_create(def, AF_INET6);
}

void bridge_create(bridge_definition *def, int family)
{
	bool v4 = family == AF_INET;
	if (v4 ? def->ipv4_inbound_count == 0 || def->ipv4_outbound_count == 0
	       : def->ipv6_inbound_count == 0 || def->ipv6_outbound_count == 0)
		return;

	if (bridge_count == bridge_capacity) {
		uint32_t capacity = bridge_capacity == 0 ? 1 : bridge_capacity * 2;
		void *grown = capacity > bridge_capacity
				      ? realloc(bridges, capacity * sizeof(bridge))
				      : nullptr;
		if (grown == nullptr)
			log_fatal("Cannot allocate memory for bridge list: %s\n",
				  strerror(errno != 0 ? errno : ENOMEM));
		bridges = static_cast<bridge *>(grown);
		bridge_capacity = capacity;
	}

	uint32_t k = bridge_count++;
	bridge *b = &bridges[k];
	memset(b, 0, sizeof *b);
	b->family = static_cast<uint16_t>(family);
	b->port = def->port;
	if (v4) {
		sockaddr_in *sin = reinterpret_cast<sockaddr_in *>(&b->destination);
		sin->sin_family = AF_INET;
		sin->sin_port = htons(def->port);
		memcpy(&sin->sin_addr, def->ipv4_group, 4);
		b->destination_length = sizeof(sockaddr_in);
	} else {
		sockaddr_in6 *sin6 = reinterpret_cast<sockaddr_in6 *>(&b->destination);
		sin6->sin6_family = AF_INET6;
		sin6->sin6_port = htons(def->port);
		memcpy(&sin6->sin6_addr, def->ipv6_group, 16);
		b->destination_length = sizeof(sockaddr_in6);
	}

	b->interfaces = static_cast<bridge_interface *>(
		calloc(def->interface_count, sizeof(bridge_interface)));
	if (b->interfaces == nullptr)
		log_fatal("Failed to allocate interface list for %s bridge %u\n",
			  v4 ? "IPv4" : "IPv6", static_cast<unsigned>(def->port));

	for (uint32_t i = 0; i < def->interface_count; i++) {
		const interface_definition *e = &def->interfaces[i];
		if (!(v4 ? e->has_ipv4 : e->has_ipv6))
			continue;
		// The atomics make the record more than plain bytes: construct it.
		bridge_interface *x = new (&b->interfaces[b->interface_count++]) bridge_interface();
		x->bridge_index = k;
		x->inbound_mode = e->inbound_mode;
		x->outbound_mode = e->outbound_mode;
		x->name = e->name;
		x->ifindex = e->ifindex;
		memcpy(x->hwaddr, e->hwaddr, 6);
		if (v4) {
			memcpy(x->ipv4_addr, e->ipv4_addr, 4);
		} else {
			memcpy(x->ipv6_addr, e->ipv6_addr, 16);
			memcpy(x->ipv6_link_local_addr, e->ipv6_link_local_addr, 16);
		}
	}

	// A static outbound interface carries the group from start-up on, so
	// every dynamic inbound peer must receive it from start-up on too.
	for (uint32_t s = 0; s < b->interface_count; s++) {
		if (b->interfaces[s].outbound_mode != mode_static)
			continue;
		for (uint32_t y = 0; y < b->interface_count; y++)
			if (y != s && b->interfaces[y].inbound_mode == mode_dynamic)
				b->interfaces[y].inbound_mode = mode_forced;
	}
}
