// Switching interface directions on and off. (placeholder)
#include "bridge/bridge.h"

const char *interface_mode_name(uint32_t mode)
{
	static const char *const names[] = {"none", "dynamic", "static", "forced"};
	return mode < 4 ? names[mode] : "unknown";
}

void bridge_activate_outbound(bridge_interface *) {}
void bridge_deactivate_outbound(bridge_interface *) {}
void bridge_activate_inbound(bridge_interface *) {}
