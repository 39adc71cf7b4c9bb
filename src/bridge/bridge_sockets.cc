// Bridge sockets. (placeholder)
#include "bridge/bridge.h"

void bridge_open_sockets() {}
