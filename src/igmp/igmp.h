// IGMP querier: per-interface group tables, capture, election, membership
// tracking and multicast router discovery on IPv4 links.
#pragma once

#include "config/config.h"

void igmp_register_interface(bridge_interface *bi);
void igmp_setup(bool foreground);
void igmp_start();
