#include "config/params.h"

int RegisterEventLogSource(void) { return 1; }
