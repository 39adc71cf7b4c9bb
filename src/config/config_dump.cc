// Foreground listing of the bridges. (placeholder)
#include "config/config.h"

void config_dump() {}
