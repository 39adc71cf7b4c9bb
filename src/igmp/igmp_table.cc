// IGMP tables. (placeholder)
#include "igmp/igmp.h"

void igmp_register_interface(bridge_interface *) {}
void igmp_setup(bool) {}
void igmp_start() {}
