// Switching the two directions of a bridge interface on and off, with the
// group joins and leaves on the bridge sockets that follow from them.
//
// At start-up this runs on the main thread; afterwards the IGMP thread calls
// it for IPv4 bridges and the MLD thread for IPv6 bridges, so the flags of one
// bridge have one writer. The forwarding thread reads them concurrently: each
// is a single word, stored and loaded relaxed.
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "bridge/bridge.h"
#include "core/core.h"

const char *interface_mode_name(uint32_t mode)
{
	static const char *const names[] = {"none", "dynamic", "static", "forced"};
	return mode < 4 ? names[mode] : "unknown";
}

static bool is_set(const std::atomic<uint32_t> &flag)
{
	return flag.load(std::memory_order_relaxed) != 0;
}

static bridge *owner(const bridge_interface *i)
{
	return &bridges[i->bridge_index];
}

// Join (add) or leave the bridge's group on i's own socket; 0 or an errno.
static int group_membership(const bridge *b, const bridge_interface *i, bool add)
{
	int rc;
	if (b->family == AF_INET) {
		ip_mreqn mreq{};
		memcpy(&mreq.imr_multiaddr, bridge_group(b), 4);
		memcpy(&mreq.imr_address, i->ipv4_addr, 4);
		mreq.imr_ifindex = (int)i->ifindex;
		rc = setsockopt(i->socket, IPPROTO_IP,
				add ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &mreq, sizeof mreq);
	} else {
		ipv6_mreq mreq{};
		memcpy(&mreq.ipv6mr_multiaddr, bridge_group(b), 16);
		mreq.ipv6mr_interface = i->ifindex;
		rc = setsockopt(i->socket, IPPROTO_IPV6,
				add ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &mreq, sizeof mreq);
	}
	return rc < 0 ? errno : 0;
}

void bridge_activate_inbound(bridge_interface *i)
{
	if (is_set(i->inbound_active))
		return;
	bridge *b = owner(i);
	if (debug_level >= log_level_activation)
		log_warn("Bridge(%s/%u): Activating inbound interface %s (%s)\n",
			 bridge_family_name(b), (unsigned)b->port, i->name,
			 interface_mode_name(i->inbound_mode));
	int err = group_membership(b, i, true);
	if (err == 0) {
		i->inbound_active.store(1, std::memory_order_relaxed);
		return;
	}
	// Left inactive, so the next activation that reaches i tries again.
	if (b->family == AF_INET)
		log_warn("Bridge(IPv4/%u): setsockopt (IP_ADD_MEMBERSHIP) on interface %s failed: %s\n",
			 (unsigned)b->port, i->name, strerror(err));
	else
		log_warn("Bridge(IPv6/%u): setsockopt (IPV6_JOIN_GROUP) on interface %s failed: %s\n",
			 (unsigned)b->port, i->name, strerror(err));
}

void bridge_activate_outbound(bridge_interface *x)
{
	if (is_set(x->outbound_active))
		return;
	bridge *b = owner(x);
	if (debug_level >= log_level_activation)
		log_warn("Bridge(%s/%u): Activating outbound interface %s (%s)\n",
			 bridge_family_name(b), (unsigned)b->port, x->name,
			 interface_mode_name(x->outbound_mode));
	// The flag goes first: a datagram arriving on a newly joined inbound
	// interface then finds its target already on.
	x->outbound_active.store(1, std::memory_order_relaxed);
	for (uint32_t n = 0; n < b->interface_count; n++) {
		bridge_interface *i = &b->interfaces[n];
		if (i != x && i->inbound_mode == mode_dynamic)
			bridge_activate_inbound(i);
	}
}

// Whether some interface of b other than i is active for forwarding; i's own
// flag never counts, as nothing that arrives on i is sent back out of it.
static bool needed_by_other(const bridge *b, const bridge_interface *i)
{
	for (uint32_t n = 0; n < b->interface_count; n++) {
		const bridge_interface *o = &b->interfaces[n];
		if (o != i && is_set(o->outbound_active))
			return true;
	}
	return false;
}

void bridge_deactivate_outbound(bridge_interface *x)
{
	if (!is_set(x->outbound_active))
		return;
	bridge *b = owner(x);
	if (x->outbound_mode != mode_dynamic) {
		log_warn("Bridge(%s/%u): Deactivating non-dynamic outbound interface %s\n",
			 bridge_family_name(b), (unsigned)b->port, x->name);
		return;
	}
	if (debug_level >= log_level_activation)
		log_warn("Bridge(%s/%u): Deactivating outbound interface %s\n",
			 bridge_family_name(b), (unsigned)b->port, x->name);
	x->outbound_active.store(0, std::memory_order_relaxed);
	for (uint32_t n = 0; n < b->interface_count; n++) {
		bridge_interface *i = &b->interfaces[n];
		if (i == x || i->inbound_mode != mode_dynamic)
			continue;
		if (needed_by_other(b, i) || !is_set(i->inbound_active))
			continue;
		if (debug_level >= log_level_activation)
			log_warn("Bridge(%s/%u): Deactivating inbound interface %s\n",
				 bridge_family_name(b), (unsigned)b->port, i->name);
		int err = group_membership(b, i, false);
		if (err != 0) {
			if (b->family == AF_INET)
				log_warn("Bridge(IPv4/%u): setsockopt (IP_DROP_MEMBERSHIP) on interface %s failed: %s\n",
					 (unsigned)b->port, i->name, strerror(err));
			else
				log_warn("Bridge(IPv6/%u): setsockopt (IPV6_LEAVE_GROUP) on interface %s failed: %s\n",
					 (unsigned)b->port, i->name, strerror(err));
		}
		// Counted as left either way: a failed leave must not pin it.
		i->inbound_active.store(0, std::memory_order_relaxed);
	}
}
