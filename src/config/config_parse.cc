// Configuration file reader. (placeholder)
#include "config/config.h"

void config_read() {}
