// Configuration: the bridge records shared by the whole daemon, the file
// reader, interface lookup and validation, and the foreground listing.
#pragma once

#include <atomic>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

struct ifaddrs;

enum interface_mode : uint32_t {
	mode_none = 0,
	mode_dynamic = 1,
	mode_static = 2,
	mode_forced = 3, // inbound only: dynamic, made permanent by a static outbound peer
};

enum querier_mode : uint32_t {
	querier_never = 0,
	querier_quick = 1,
	querier_delay = 2,
	querier_defer = 3,
};

extern uint32_t igmp_querier_mode;
extern uint32_t mld_querier_mode;

// Learned-group slots that every IGMP and MLD interface table gets beyond
// its bridge groups.
inline constexpr uint32_t group_list_headroom = 100;

struct bridge_interface {
	uint32_t bridge_index; // by index: bridges may move while they are read
	int socket;
	uint32_t inbound_mode;
	uint32_t outbound_mode;
	// Written by the IGMP or MLD thread, read by the forwarding thread for
	// every datagram: single words, relaxed order is enough (a datagram
	// handled during a change may or may not be copied).
	std::atomic<uint32_t> inbound_active;
	std::atomic<uint32_t> outbound_active;
	const char *name; // shared by the records of both families
	uint32_t ifindex;
	uint8_t ipv4_addr[4];
	uint8_t ipv6_addr[16];
	uint8_t ipv6_link_local_addr[16];
	uint8_t hwaddr[6];
};

struct bridge {
	uint16_t family; // AF_INET or AF_INET6
	uint16_t port;   // host order
	sockaddr_storage destination; // group and port; IPv6 scope set per send
	uint32_t destination_length;
	bridge_interface *interfaces;
	uint32_t interface_count;
};

inline constexpr uint32_t config_max_interfaces = 64;
inline constexpr uint32_t config_max_list = 1024;
inline constexpr uint32_t config_line_size = 16384;

struct interface_definition {
	char *name;
	uint32_t ifindex;
	uint32_t inbound_mode;
	uint32_t outbound_mode;
	uint32_t has_ipv4;
	uint32_t has_ipv4_link_local;
	uint32_t has_ipv6;
	uint32_t has_ipv6_link_local;
	uint32_t has_ipv6_unique_local;
	uint8_t ipv4_addr[4];
	uint8_t ipv4_link_local_addr[4];
	uint8_t ipv6_addr[16];
	uint8_t ipv6_link_local_addr[16];
	uint8_t ipv6_unique_local_addr[16];
	uint8_t hwaddr[6];
};

struct bridge_definition {
	uint16_t port;
	uint32_t has_ipv4_group;
	uint32_t has_ipv6_group;
	uint8_t ipv4_group[4];
	uint8_t ipv6_group[16];
	interface_definition interfaces[config_max_interfaces];
	uint32_t interface_count;
	uint32_t ipv4_inbound_count;
	uint32_t ipv4_outbound_count;
	uint32_t ipv6_inbound_count;
	uint32_t ipv6_outbound_count;
	interface_definition *last_ipv4_inbound;
	interface_definition *last_ipv6_inbound;
	interface_definition *last_ipv4_outbound;
	interface_definition *last_ipv6_outbound;
};

extern bridge *bridges;
extern uint32_t bridge_count;
extern uint32_t bridge_capacity;

// Parse-time state.
extern uint32_t config_line;
extern ifaddrs *interface_address_list;

void config_read();
void config_dump();
interface_definition *config_find_interface(bridge_definition *def, const char *name);
void config_end_section(bridge_definition *def);
void bridge_create(bridge_definition *def, int family);
// Splits a list value in place at its ","s; gives the element count (at
// least 1) or ends the process on an empty element or too many elements.
uint32_t config_split_list(char *value, char *elements[config_max_list]);
// Releases what config_read built or, cut short by log_fatal_hook, left
// open (file, interface address list, bridge table), for tests and fuzzing;
// the daemon reads once and never calls it. Frees the name copies too.
void config_reset();

// The group of a bridge, 4 or 16 bytes, network order, inside destination.
const uint8_t *bridge_group(const bridge *b);
const char *bridge_family_name(const bridge *b); // "IPv4" or "IPv6"

// Platform seam: the 6-byte link-layer address of a link-level entry of the
// interface address list (AF_LINK on FreeBSD, AF_PACKET on Linux).
bool config_os_link_addr(const ifaddrs *ifa, uint8_t hw[6]);
