// Link-layer addresses on FreeBSD come from the AF_LINK entries (sockaddr_dl) of getifaddrs.
#include "config/config.h"

#include <cstring>
#include <ifaddrs.h>
#include <net/if_dl.h>

bool config_os_link_addr(const ifaddrs *ifa, uint8_t hw[6])
{
	if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_LINK)
		return false;
	const sockaddr_dl *dl = reinterpret_cast<const sockaddr_dl *>(ifa->ifa_addr);
	if (dl->sdl_alen < 6)
		return false;
	memcpy(hw, LLADDR(dl), 6);
	return true;
}
