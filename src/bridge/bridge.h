// Bridge forwarding: one UDP socket per bridge interface, one forwarding
// thread per bridge, and the switching of interface directions.
#pragma once

#include <cstdint>

#include "config/config.h"

void bridge_open_sockets();
void bridge_start_threads();

void bridge_activate_outbound(bridge_interface *x);
void bridge_deactivate_outbound(bridge_interface *x);
void bridge_activate_inbound(bridge_interface *i);
const char *interface_mode_name(uint32_t mode);
