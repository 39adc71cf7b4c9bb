// Link-layer addresses on Linux come from the AF_PACKET entries of getifaddrs.
#include "config/config.h"

#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>

bool config_os_link_addr(const ifaddrs *ifa, uint8_t hw[6])
{
	if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_PACKET)
		return false;
	const sockaddr_ll *ll = reinterpret_cast<const sockaddr_ll *>(ifa->ifa_addr);
	if (ll->sll_halen < 6)
		return false;
	memcpy(hw, ll->sll_addr, 6);
	return true;
}
