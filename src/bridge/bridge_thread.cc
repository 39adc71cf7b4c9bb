// Forwarding threads. (placeholder)
#include "bridge/bridge.h"

void bridge_start_threads() {}
