// Bridge socket seam for Linux.
//
// Linux hands a multicast datagram to every socket bound to the wildcard
// address and the port, whatever group it joined where, unless
// IP_MULTICAST_ALL / IPV6_MULTICAST_ALL is 0. With 0, IPv4 delivers only to
// sockets that joined the group on the arrival interface, but IPv6 still
// matches the group on any interface, so an IPv6 socket is also tied to its
// own interface. SO_REUSEPORT is left off for IPv4: with it, UDP early demux
// gives each multicast datagram to one socket of the reuse group, whatever it
// joined, so two bridges on one port would lose or cross traffic.
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "bridge/bridge_os.h"
#include "config/config.h"

static int set_int(int fd, int level, int option, int value)
{
	return setsockopt(fd, level, option, &value, sizeof value) < 0 ? errno : 0;
}

int bridge_os_arrival_on(int fd, int family, const char **option)
{
	int err;
	if (family == AF_INET) {
		*option = "IP_PKTINFO";
		if ((err = set_int(fd, IPPROTO_IP, IP_PKTINFO, 1)) != 0)
			return err;
		*option = "IP_MULTICAST_ALL";
		return set_int(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0);
	}
	*option = "IPV6_RECVPKTINFO";
	if ((err = set_int(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1)) != 0)
		return err;
	*option = "IPV6_MULTICAST_ALL";
	return set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, 0);
}

int bridge_os_reuse_port(int fd, int family)
{
	if (family == AF_INET)
		return 0;
	return set_int(fd, SOL_SOCKET, SO_REUSEPORT, 1);
}

int bridge_os_bind_device(int fd, int family, const bridge_interface *bi,
			  const char **option)
{
	if (family == AF_INET)
		return 0;
	*option = "SO_BINDTOIFINDEX";
	return set_int(fd, SOL_SOCKET, SO_BINDTOIFINDEX, (int)bi->ifindex);
}

void bridge_os_receive_buffer(int fd, int bytes)
{
	// Root at start-up: FORCE passes net.core.rmem_max, which would
	// otherwise cap the request silently.
	if (set_int(fd, SOL_SOCKET, SO_RCVBUFFORCE, bytes) != 0)
		(void)set_int(fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool bridge_os_link_down(int err)
{
	// A multicast send through an interface that is down fails with
	// ENETUNREACH here: the route lookup bound to that interface finds none.
	return err == ENETDOWN || err == ENETUNREACH;
}

// Whether the payload of c holds `need` bytes inside the returned control
// data: the header stepping checks only that each header fits.
static bool holds(const msghdr *m, const cmsghdr *c, size_t need)
{
	size_t offset = (size_t)(reinterpret_cast<const uint8_t *>(c) -
				 static_cast<const uint8_t *>(m->msg_control));
	return c->cmsg_len >= CMSG_LEN(need) && c->cmsg_len <= m->msg_controllen - offset;
}

unsigned bridge_os_arrival_index(const msghdr *msg, int family)
{
	msghdr *m = const_cast<msghdr *>(msg); // CMSG_NXTHDR is not const-clean
	for (cmsghdr *c = CMSG_FIRSTHDR(m); c != nullptr; c = CMSG_NXTHDR(m, c)) {
		if (family == AF_INET && c->cmsg_level == IPPROTO_IP &&
		    c->cmsg_type == IP_PKTINFO) {
			if (!holds(m, c, sizeof(in_pktinfo)))
				return 0;
			in_pktinfo info;
			memcpy(&info, CMSG_DATA(c), sizeof info);
			return info.ipi_ifindex > 0 ? (unsigned)info.ipi_ifindex : 0;
		}
		if (family == AF_INET6 && c->cmsg_level == IPPROTO_IPV6 &&
		    c->cmsg_type == IPV6_PKTINFO) {
			if (!holds(m, c, sizeof(in6_pktinfo)))
				return 0;
			in6_pktinfo info;
			memcpy(&info, CMSG_DATA(c), sizeof info);
			return info.ipi6_ifindex;
		}
	}
	return 0;
}
