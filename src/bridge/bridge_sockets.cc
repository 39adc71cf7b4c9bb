// Bridge sockets: one UDP socket per interface of every bridge, bound to the
// wildcard address and the bridge's port, then the start-up state of every
// interface.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/bridge.h"
#include "bridge/bridge_os.h"
#include "core/core.h"
#include "igmp/igmp.h"
#include "mld/mld.h"

// Bursts at line rate overflow the system's default receive buffer long
// before the forwarding thread falls behind on average.
static constexpr int bridge_receive_buffer = 4 << 20;

static int set_int(int fd, int level, int option, int value)
{
	return setsockopt(fd, level, option, &value, sizeof value) < 0 ? errno : 0;
}

static int open_ipv4(const bridge *b, const bridge_interface *bi)
{
	int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (fd < 0)
		log_fatal("IPv4 socket creation failed: %s\n", strerror(errno));
	int err;
	const char *option = "";
	if ((err = set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1)) != 0)
		log_fatal("setsockopt(SO_REUSEADDR) failed: %s\n", strerror(err));
	if ((err = bridge_os_reuse_port(fd, AF_INET)) != 0)
		log_fatal("setsockopt(SO_REUSEPORT) failed: %s\n", strerror(err));
	if ((err = bridge_os_arrival_on(fd, AF_INET, &option)) != 0)
		log_fatal("setsockopt (%s) for IPv4 on %s failed: %s\n", option, bi->name,
			  strerror(err));
	if ((err = set_int(fd, IPPROTO_IP, IP_MULTICAST_TTL, 1)) != 0)
		log_fatal("setsockopt (IP_MULTICAST_TTL) for IPv4 on %s failed: %s\n", bi->name,
			  strerror(err));
	in_addr source;
	memcpy(&source, bi->ipv4_addr, 4);
	if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &source, sizeof source) < 0)
		log_fatal("setsockopt (IP_MULTICAST_IF) for IPv4 on %s failed: %s\n", bi->name,
			  strerror(errno));
	if ((err = set_int(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 0)) != 0)
		log_fatal("setsockopt (IP_MULTICAST_LOOP) for IPv4 on %s failed: %s\n", bi->name,
			  strerror(err));
	bridge_os_receive_buffer(fd, bridge_receive_buffer);
	if ((err = bridge_os_bind_device(fd, AF_INET, bi, &option)) != 0)
		log_fatal("setsockopt (%s) for IPv4 on %s failed: %s\n", option, bi->name,
			  strerror(err));
	sockaddr_in sin{};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(b->port);
	sin.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
		log_fatal("IPv4 bind on %s failed: %s\n", bi->name, strerror(errno));
	return fd;
}

static int open_ipv6(const bridge *b, const bridge_interface *bi)
{
	int fd = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
	if (fd < 0)
		log_fatal("IPv6 socket creation failed: %s\n", strerror(errno));
	int err;
	const char *option = "";
	if ((err = set_int(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1)) != 0)
		log_fatal("setsockopt (IPV6_V6ONLY) failed: %s\n", strerror(err));
	if ((err = set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1)) != 0)
		log_fatal("setsockopt(SO_REUSEADDR) failed: %s\n", strerror(err));
	if ((err = bridge_os_reuse_port(fd, AF_INET6)) != 0)
		log_fatal("setsockopt(SO_REUSEPORT) failed: %s\n", strerror(err));
	if ((err = bridge_os_arrival_on(fd, AF_INET6, &option)) != 0)
		log_fatal("setsockopt (%s) for IPv6 on %s failed: %s\n", option, bi->name,
			  strerror(err));
	if ((err = set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 1)) != 0)
		log_fatal("setsockopt (IPV6_MULTICAST_HOPS) for IPv6 on %s failed: %s\n",
			  bi->name, strerror(err));
	if ((err = set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, (int)bi->ifindex)) != 0)
		log_fatal("setsockopt (IPV6_MULTICAST_IF) for IPv6 on %s failed: %s\n", bi->name,
			  strerror(err));
	if ((err = set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0)) != 0)
		log_fatal("setsockopt (IPV6_MULTICAST_LOOP) for IPv6 on %s failed: %s\n",
			  bi->name, strerror(err));
	bridge_os_receive_buffer(fd, bridge_receive_buffer);
	if ((err = bridge_os_bind_device(fd, AF_INET6, bi, &option)) != 0)
		log_fatal("setsockopt (%s) for IPv6 on %s failed: %s\n", option, bi->name,
			  strerror(err));
	sockaddr_in6 sin6{};
	sin6.sin6_family = AF_INET6;
	sin6.sin6_port = htons(b->port);
	sin6.sin6_flowinfo = 0;
	sin6.sin6_addr = in6addr_any;
	sin6.sin6_scope_id = 0;
	if (bind(fd, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6) < 0)
		log_fatal("IPv6 bind on %s failed: %s\n", bi->name, strerror(errno));
	return fd;
}

void bridge_open_sockets()
{
	for (uint32_t n = 0; n < bridge_count; n++) {
		bridge *b = &bridges[n];
		for (uint32_t k = 0; k < b->interface_count; k++) {
			bridge_interface *bi = &b->interfaces[k];
			int fd = b->family == AF_INET ? open_ipv4(b, bi) : open_ipv6(b, bi);
			int flags = fcntl(fd, F_GETFL);
			if (flags >= 0) // never write back -1 as a flag set
				(void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
			bi->socket = fd;
		}
	}
	// Only now that every socket exists: activating an outbound interface
	// joins the group on the other interfaces' sockets.
	for (uint32_t n = 0; n < bridge_count; n++) {
		bridge *b = &bridges[n];
		for (uint32_t k = 0; k < b->interface_count; k++) {
			bridge_interface *bi = &b->interfaces[k];
			if (bi->inbound_mode == mode_static || bi->inbound_mode == mode_forced)
				bridge_activate_inbound(bi);
			if (bi->outbound_mode == mode_static)
				bridge_activate_outbound(bi);
			else if (bi->outbound_mode == mode_dynamic) {
				if (b->family == AF_INET)
					igmp_register_interface(bi);
				else
					mld_register_interface(bi);
			}
		}
	}
}
