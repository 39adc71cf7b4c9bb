// The bridge table and the settings that the configuration owns.
#include "config/config.h"

bridge *bridges;
uint32_t bridge_count;
uint32_t bridge_capacity;
uint32_t config_line;
ifaddrs *interface_address_list;

uint32_t igmp_querier_mode = querier_quick;
uint32_t mld_querier_mode = querier_quick;

const uint8_t *bridge_group(const bridge *b)
{
	if (b->family == AF_INET)
		return reinterpret_cast<const uint8_t *>(
			&reinterpret_cast<const sockaddr_in *>(&b->destination)->sin_addr);
	return reinterpret_cast<const sockaddr_in6 *>(&b->destination)->sin6_addr.s6_addr;
}

const char *bridge_family_name(const bridge *b)
{
	return b->family == AF_INET ? "IPv4" : "IPv6";
}
