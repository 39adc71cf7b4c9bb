// Bridge socket seam for FreeBSD: a multicast datagram reaches only the
// sockets that joined its group on the arrival interface, SO_REUSEPORT lets
// all sockets of a bridge share the port, and IP_RECVIF reports the arrival
// interface as a link-level address.
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <net/if_dl.h>
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
	if (family == AF_INET) {
		*option = "IP_RECVIF";
		return set_int(fd, IPPROTO_IP, IP_RECVIF, 1);
	}
	*option = "IPV6_RECVPKTINFO";
	return set_int(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1);
}

int bridge_os_reuse_port(int fd, int)
{
	return set_int(fd, SOL_SOCKET, SO_REUSEPORT, 1);
}

int bridge_os_bind_device(int, int, const bridge_interface *, const char **)
{
	return 0;
}

void bridge_os_receive_buffer(int fd, int bytes)
{
	// Capped by kern.ipc.maxsockbuf; the default buffer still works.
	(void)set_int(fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool bridge_os_link_down(int err)
{
	return err == ENETDOWN;
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
	msghdr *m = const_cast<msghdr *>(msg);
	for (cmsghdr *c = CMSG_FIRSTHDR(m); c != nullptr; c = CMSG_NXTHDR(m, c)) {
		if (family == AF_INET && c->cmsg_level == IPPROTO_IP &&
		    c->cmsg_type == IP_RECVIF) {
			// sdl_index sits at a fixed offset of the address header.
			size_t need = offsetof(sockaddr_dl, sdl_index) + sizeof(uint16_t);
			if (!holds(m, c, need))
				return 0;
			uint16_t index;
			memcpy(&index, CMSG_DATA(c) + offsetof(sockaddr_dl, sdl_index),
			       sizeof index);
			return index;
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
