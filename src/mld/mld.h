// MLD querier: per-interface group tables, capture, election, listener
// tracking and multicast router discovery on IPv6 links.
#pragma once

#include "config/config.h"

void mld_register_interface(bridge_interface *bi);
void mld_setup(bool foreground);
void mld_start();
