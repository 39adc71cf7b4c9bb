// Platform seam of the bridge sockets: how the system is made to deliver a
// group's datagrams only to the sockets that joined it on the arrival
// interface, and how it reports that interface. Each call returns 0 or an
// error number; the callers own the messages.
#pragma once

#include <cstdint>
#include <sys/socket.h>

struct bridge_interface;

// Ask for the arrival interface with every datagram. *option names the
// option that failed, for the caller's message.
int bridge_os_arrival_on(int fd, int family, const char **option);

// SO_REUSEPORT where the system keeps multicast delivery per membership with
// it; elsewhere nothing (SO_REUSEADDR alone lets the sockets share the port).
int bridge_os_reuse_port(int fd, int family);

// Tie the socket to its interface where group membership alone does not
// keep other interfaces' datagrams away. *option as above.
int bridge_os_bind_device(int fd, int family, const bridge_interface *bi,
			  const char **option);

// Best effort: room for bursts beyond the system's default receive buffer.
void bridge_os_receive_buffer(int fd, int bytes);

// Whether a send failed because the outbound link is down (its copies are
// then lost quietly).
bool bridge_os_link_down(int err);

// The arrival interface index carried in the control data of a received
// datagram, 0 when there is none.
unsigned bridge_os_arrival_index(const msghdr *msg, int family);
