// MLD tables. (placeholder)
#include "mld/mld.h"

void mld_register_interface(bridge_interface *) {}
void mld_setup(bool) {}
void mld_start() {}
