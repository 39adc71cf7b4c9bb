// Foreground listing of the bridges, before any socket exists: it shows the
// configured modes, not run-time activity.
#include "bridge/bridge.h"
#include "config/config.h"
#include "core/core.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

static void config_dump_direction(const bridge *b, bool inbound)
{
	char text[46]; // INET6_ADDRSTRLEN
	puts(inbound ? "    Inbound interfaces:" : "    Outbound interfaces:");
	for (uint32_t i = 0; i < b->interface_count; i++) {
		const bridge_interface *x = &b->interfaces[i];
		uint32_t mode = inbound ? x->inbound_mode : x->outbound_mode;
		if (mode == mode_none)
			continue;
		if (b->family == AF_INET) {
			if (inet_ntop(AF_INET, x->ipv4_addr, text, sizeof text) == nullptr)
				log_fatal("inet_ntop failed for IPv4 address: %s\n", strerror(errno));
		} else if (inet_ntop(AF_INET6, x->ipv6_addr, text, sizeof text) == nullptr) {
			log_fatal("inet_ntop failed for IPv6 address: %s\n", strerror(errno));
		}
		printf("      %s, %s, address %s\n", x->name, interface_mode_name(mode), text);
	}
}

void config_dump()
{
	char text[46];
	puts("Bridges:");
	for (uint32_t i = 0; i < bridge_count; i++) {
		const bridge *b = &bridges[i];
		bool v4 = b->family == AF_INET;
		if (inet_ntop(v4 ? AF_INET : AF_INET6, bridge_group(b), text, sizeof text) == nullptr)
			log_fatal(v4 ? "inet_ntop failed for IPv4 address: %s\n"
				     : "inet_ntop failed for IPv6 address: %s\n",
				  strerror(errno));
		printf("  IPv%u, port %u, address %s\n", v4 ? 4u : 6u, static_cast<unsigned>(b->port),
		       text);
		config_dump_direction(b, true);
		config_dump_direction(b, false);
		putchar('\n');
	}
	// The listing must come out before later diagnostics on standard error
	// when standard output is a file or a pipe.
	fflush(stdout);
}
